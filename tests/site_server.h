// The test run's PostgreSQL server (tests/site/test_server.sh starts it as a fixture of the run)
// and a database of a test's own on it, set up as a site by its owner with the benches bench_1,
// bench_2 and bench_tls. A test that needs the server and finds none fails: it never skips.
#pragma once

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <atomic>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>

#include "store/postgres_store.h"
#include "support/paths.h"

#ifndef _WIN32
#include <unistd.h>
#endif

// Where a server listens (socket, port, tls, ...), as its start wrote it into `file`.
using TestServer = std::map<std::string, std::string>;
inline TestServer ServerOf(const std::string& file) {
  TestServer read;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);)
    if (const auto equals = line.find('='); equals != std::string::npos)
      read[line.substr(0, equals)] = line.substr(equals + 1);
  if (read["socket"].empty())
    throw std::runtime_error("no test server: '" + file + "' is no file a server's start wrote");
  return read;
}
inline const TestServer& RunsServer() {
  static const TestServer server = ServerOf(support::EnvironmentText("NAVKEYPAD_TEST_SERVER"));
  return server;
}

// Runs `sql` on `connection`: the first value of its answer, or "error: " and why not (which
// fails the test unless `mayFail`).
inline std::string RunSql(const std::string& connection, const std::string& sql,
                          bool mayFail = false) {
  PGconn* conn = PQconnectdb((connection + " options='-c client_min_messages=warning'").c_str());
  PGresult* result = PQexec(conn, sql.c_str());
  std::string value;
  if (const auto status = PQresultStatus(result);
      status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    value = std::string("error: ") + PQerrorMessage(conn);
    if (!mayFail) ADD_FAILURE() << sql << ": " << value;
  } else if (PQntuples(result) > 0 && PQnfields(result) > 0) {
    value = PQgetvalue(result, 0, 0);
  }
  PQclear(result), PQfinish(conn);
  return value;
}

class SiteDatabase {
 public:
  explicit SiteDatabase(const TestServer& server = RunsServer()) : server_(server) {
    static std::atomic<int> made{0};
    name_ = "site_" + std::to_string(getpid()) + "_" + std::to_string(made++);
    RunSql(connection("postgres", "postgres"), "CREATE DATABASE " + name_ + " OWNER site_owner");
    std::vector<std::string> said;
    if (const auto error = navkeypad::store::InitSite(site("site_owner"), said))
      ADD_FAILURE() << "site init: " << error.message;
    // Roles are the cluster's, made once by whichever test came first.
    for (const std::string bench : {"bench_1", "bench_2", "bench_tls"}) {
      RunSql(admin(), "CREATE ROLE " + bench + " LOGIN", true);
      RunSql(admin(), "GRANT navkeypad_bench TO " + bench);
    }
  }
  ~SiteDatabase() {
    RunSql(connection("postgres", "postgres"), "DROP DATABASE " + name_ + " WITH (FORCE)", true);
  }
  SiteDatabase(const SiteDatabase&) = delete;
  SiteDatabase& operator=(const SiteDatabase&) = delete;

  const std::string& name() const { return name_; }
  // A connection string for `role` on the server's socket.
  std::string connection(const std::string& role, const std::string& database = {}) const {
    return "host=" + server_.at("socket") + " port=" + server_.at("port") +
           " dbname=" + (database.empty() ? name_ : database) + " user=" + role;
  }
  // The superuser's connection to this database.
  std::string admin() const { return connection("postgres"); }
  navkeypad::store::Site site(const std::string& role) const {
    return navkeypad::store::SiteFromConnectionString(connection(role), "NAVKEYPAD_SITE");
  }
  std::unique_ptr<navkeypad::store::Store> open(const std::string& role, int waitMs = 5000) const {
    return navkeypad::store::OpenPostgresStore(site(role), {}, waitMs);
  }
  // A record of keypad `serial`, kept at port 1-1.
  static navkeypad::store::PendingUpgrade Record(const std::string& serial) {
    return {{serial, 0, 4, {}}, {}, {}, false, "1-1", {}, "T"};
  }

 private:
  const TestServer& server_;
  std::string name_;
};
