// The PostgreSQL server of a test run (scripts/pg-cluster starts a private
// one): its ODBC connection text comes from $TOLVEN_TEST_PG, for example
// "Driver={PostgreSQL ANSI};Server=127.0.0.1;Port=54321;UID=postgres".
#pragma once

#include <memory>
#include <string>

#include "db/connection.h"
#include "db/odbc_connection.h"

namespace tolven::testing {

// True when $TOLVEN_TEST_PG names a server.
bool PgConfigured();
// The target for one database of that server.
db::OdbcTarget PgTarget(const std::string& database);
// A database name no other test process uses: prefix + process id + a counter.
std::string UniquePgDatabaseName(const std::string& prefix);
// Creates an empty database; with schema, every table of the gateway in it.
bool CreatePgDatabase(const std::string& name, bool withSchema, std::string& error);
// Drops it, ending sessions still connected to it.
void DropPgDatabase(const std::string& name);
// An open connection to a database of the server (nullptr and error on failure).
std::unique_ptr<db::Connection> OpenPg(const std::string& database, std::string& error);

}  // namespace tolven::testing
