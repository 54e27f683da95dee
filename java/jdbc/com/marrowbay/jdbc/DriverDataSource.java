package com.marrowbay.jdbc;

import java.io.PrintWriter;
import java.sql.Connection;
import java.sql.Driver;
import java.sql.SQLException;
import java.sql.SQLFeatureNotSupportedException;
import java.util.Properties;
import java.util.logging.Logger;
import javax.sql.DataSource;

/**
 * Connections of one driver object for the pool. The driver is called directly, not through
 * {@code DriverManager}, because it may live in a class loader of its own.
 */
final class DriverDataSource implements DataSource {
    private final Driver driver;
    private final String url;
    private final Properties properties;

    DriverDataSource(Driver driver, String url, Properties properties) {
        this.driver = driver;
        this.url = url;
        this.properties = properties;
    }

    @Override
    public Connection getConnection() throws SQLException {
        Connection connection = driver.connect(url, properties);
        if (connection == null) throw new SQLException("the driver does not accept " + url, "08001");
        return connection;
    }

    @Override
    public Connection getConnection(String user, String password) throws SQLException {
        Properties login = new Properties();
        login.putAll(properties);
        login.setProperty("user", user);
        login.setProperty("password", password);
        Connection connection = driver.connect(url, login);
        if (connection == null) throw new SQLException("the driver does not accept " + url, "08001");
        return connection;
    }

    @Override
    public PrintWriter getLogWriter() {
        return null;
    }

    @Override
    public void setLogWriter(PrintWriter out) {
    }

    @Override
    public void setLoginTimeout(int seconds) {
    }

    @Override
    public int getLoginTimeout() {
        return 0;
    }

    @Override
    public Logger getParentLogger() throws SQLFeatureNotSupportedException {
        throw new SQLFeatureNotSupportedException();
    }

    @Override
    public <T> T unwrap(Class<T> type) throws SQLException {
        if (type.isInstance(this)) return type.cast(this);
        throw new SQLException("not a wrapper of " + type.getName());
    }

    @Override
    public boolean isWrapperFor(Class<?> type) {
        return type.isInstance(this);
    }
}
