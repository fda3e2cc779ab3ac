// The test run's PostgreSQL server (tests/site/test_server.sh starts it as a fixture of the run)
// and a database of a test's own on it, set up as a site by its owner with the benches bench_1
// and bench_2. A test that needs the server and finds none fails: it never skips.
#pragma once

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "store/postgres_store.h"
#include "store/sqlite_store.h"
#include "support/paths.h"

#ifndef _WIN32
#include <unistd.h>
#endif

// Where the run's server listens, as its start wrote it.
struct TestServer {
  std::map<std::string, std::string> where;
  std::string operator[](const std::string& key) const {
    const auto found = where.find(key);
    return found == where.end() ? std::string() : found->second;
  }
  static TestServer FromFile(const std::string& file) {
    TestServer read;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
      const auto equals = line.find('=');
      if (equals != std::string::npos) read.where[line.substr(0, equals)] = line.substr(equals + 1);
    }
    if (read["socket"].empty())
      throw std::runtime_error("no test server: '" + file +
                               "' is no file a server's start wrote; run the tests through ctest");
    return read;
  }
  // The run's server.
  static const TestServer& Get() {
    static const TestServer server = FromFile(support::EnvironmentText("NAVKEYPAD_TEST_SERVER"));
    return server;
  }
};

// Runs `sql` on `connection`, and gives the first value of its answer; fails the test where the
// server refused it.
inline std::string RunSql(const std::string& connection, const std::string& sql,
                          bool mayFail = false) {
  PGconn* conn = PQconnectdb(connection.c_str());
  PQsetNoticeProcessor(
      conn, [](void*, const char*) {}, nullptr);
  std::string value;
  if (PQstatus(conn) != CONNECTION_OK) {
    if (!mayFail) ADD_FAILURE() << connection << ": " << PQerrorMessage(conn);
    PQfinish(conn);
    return value;
  }
  PGresult* result = PQexec(conn, sql.c_str());
  const auto status = PQresultStatus(result);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    if (!mayFail) ADD_FAILURE() << sql << ": " << PQerrorMessage(conn);
  } else if (PQntuples(result) > 0 && PQnfields(result) > 0) {
    value = PQgetvalue(result, 0, 0);
  }
  PQclear(result);
  PQfinish(conn);
  return value;
}

class SiteDatabase {
 public:
  explicit SiteDatabase(const TestServer& server = TestServer::Get()) : server_(server) {
    static std::atomic<int> made{0};
#ifndef _WIN32
    const long program = static_cast<long>(getpid());
#else
    const long program = 0;
#endif
    name_ = "site_" + std::to_string(program) + "_" + std::to_string(made++);
    RunSql(connection("postgres", "postgres"),
           "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
    RunSql(connection("postgres", "postgres"), "CREATE DATABASE " + name_ + " OWNER site_owner");
    std::vector<std::string> said;
    const auto error = navkeypad::store::InitSite(site("site_owner"), said);
    if (error) ADD_FAILURE() << "site init: " << error.message;
    for (const char* bench : {"bench_1", "bench_2", "bench_tls"}) {
      // Roles are the cluster's, made once by whichever test came first.
      RunSql(admin(), std::string("CREATE ROLE ") + bench + " LOGIN", true);
      RunSql(admin(), std::string("GRANT navkeypad_bench TO ") + bench);
    }
  }
  ~SiteDatabase() {
    RunSql(connection("postgres", "postgres"), "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)",
           true);
  }
  SiteDatabase(const SiteDatabase&) = delete;
  SiteDatabase& operator=(const SiteDatabase&) = delete;

  const std::string& name() const {
    return name_;
  }
  // A connection string for `role` on the server's socket.
  std::string connection(const std::string& role, const std::string& database = {}) const {
    return "host=" + server_["socket"] + " port=" + server_["port"] +
           " dbname=" + (database.empty() ? name_ : database) + " user=" + role;
  }
  // The superuser's connection to this database.
  std::string admin() const {
    return connection("postgres");
  }
  navkeypad::store::Site site(const std::string& role) const {
    return navkeypad::store::SiteFromConnectionString(connection(role), "NAVKEYPAD_SITE");
  }
  std::unique_ptr<navkeypad::store::Store> open(const std::string& role,
                                                int waitMs = navkeypad::store::kStoreWaitMs) const {
    return navkeypad::store::OpenPostgresStore(site(role), {}, waitMs);
  }

 private:
  const TestServer& server_;
  std::string name_;
};
