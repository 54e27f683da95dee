// The host's tables in the internal database, in SQL that both backends take: the PostgreSQL
// backend turns BLOB and INTEGER PRIMARY KEY into its own types (postgres::Dialect). On the
// embedded file each owner makes its tables when it first needs them; on PostgreSQL they are all
// made when the database is opened, under a lock, so servers that start together are safe.
#pragma once

namespace quill_service::schema {

constexpr const char* kPreferences =
    "CREATE TABLE IF NOT EXISTS global_prefs (store_key TEXT PRIMARY KEY, data TEXT)";
constexpr const char* kUsers =
    "CREATE TABLE IF NOT EXISTS users (name TEXT PRIMARY KEY, salt BLOB NOT NULL, hash BLOB NOT NULL, "
    "is_admin INTEGER NOT NULL DEFAULT 0)";
constexpr const char* kUserRights =
    "CREATE TABLE IF NOT EXISTS user_rights (user_name TEXT NOT NULL, operation INTEGER NOT NULL, "
    "target TEXT NOT NULL, PRIMARY KEY (user_name, operation, target))";
constexpr const char* kStoredData = "CREATE TABLE IF NOT EXISTS store_data (store_key TEXT PRIMARY KEY, data BLOB)";
constexpr const char* kDataSourceHosts =
    "CREATE TABLE IF NOT EXISTS datasource_hosts (id INTEGER PRIMARY KEY, datasource TEXT NOT NULL, "
    "name TEXT NOT NULL, \"user\" TEXT NOT NULL, password TEXT NOT NULL)";
constexpr const char* kSites = "CREATE TABLE IF NOT EXISTS sites (id INTEGER PRIMARY KEY, name TEXT, root TEXT)";

// Per connection, never in the file or the shared database: the server's preference defaults.
constexpr const char* kPreferenceDefaults =
    "CREATE TEMP TABLE IF NOT EXISTS preference_defaults (store_key TEXT PRIMARY KEY, data TEXT)";

constexpr const char* kAll[] = {kPreferences, kUsers, kUserRights, kStoredData, kDataSourceHosts, kSites};

}  // namespace quill_service::schema
