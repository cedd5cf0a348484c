// Reads a learning database back with plain MariaDB Connector/C as the
// administrator (mlt::admin_*), so a check never goes through the daemon's
// own database library.
#pragma once

#include <gtest/gtest.h>
#include <mysql.h>

#include <string>

#include "tests/testutil/testutil.h"

namespace mlt {

class Sql {
 public:
  Sql() {
    conn_ = mysql_init(nullptr);
    const std::string sock = admin_socket();
    if (!mysql_real_connect(conn_, "127.0.0.1", admin_user().c_str(),
                            admin_password().empty() ? nullptr : admin_password().c_str(), nullptr,
                            3306, sock.empty() ? nullptr : sock.c_str(), 0))
      ADD_FAILURE() << "root connection: " << mysql_error(conn_);
  }
  ~Sql() { mysql_close(conn_); }
  Sql(const Sql &) = delete;
  Sql &operator=(const Sql &) = delete;

  bool exec(const std::string &sql) {
    bool ok = mysql_real_query(conn_, sql.data(), sql.size()) == 0;
    if (MYSQL_RES *r = mysql_store_result(conn_)) mysql_free_result(r);
    EXPECT_TRUE(ok) << sql << ": " << mysql_error(conn_);
    return ok;
  }
  // Column 0 of the first row; "" for no row or NULL.
  std::string one(const std::string &sql) {
    if (mysql_real_query(conn_, sql.data(), sql.size()) != 0) return "error";
    MYSQL_RES *r = mysql_store_result(conn_);
    if (!r) return "";
    MYSQL_ROW row = mysql_fetch_row(r);
    unsigned long *len = row ? mysql_fetch_lengths(r) : nullptr;
    std::string v = row && row[0] ? std::string(row[0], len[0]) : "";
    mysql_free_result(r);
    return v;
  }
  long num(const std::string &sql) { return std::stol("0" + one(sql)); }

 private:
  MYSQL *conn_;
};

}  // namespace mlt
