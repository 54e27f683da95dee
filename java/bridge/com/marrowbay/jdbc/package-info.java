/**
 * The base of connector data sources, whose SQL the server writes: the JDBC connector
 * ({@code JDBCConnector.jar}) extends {@link com.marrowbay.jdbc.JDBCDataSource}, and so may a
 * connector of your own for a database that JDBC reaches (see {@code docs/connector-sql.md}).
 */
package com.marrowbay.jdbc;
