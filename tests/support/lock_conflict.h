// Lock conflicts between two stations, made for real on the engine of the
// run, and a connection wrapper that lets the other station give way at the
// moment a piece of work is run again.
#pragma once

#include <functional>
#include <string>

#include "db/connection.h"
#include "db/forwarding_connection.h"

namespace tolven::testing {

// The second station holds a write lock until Release (or its end): on SQLite
// the database's write lock, on PostgreSQL the row locks of `rowsSql` (an
// UPDATE), taken in a transaction of its own as a POS program would, without
// the gateway's transaction lock. A writer of the first station that may not
// wait then fails with a lock conflict.
class HeldLock {
 public:
  HeldLock(db::Connection& second, const std::string& rowsSql);
  ~HeldLock() { Release(); }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
  void Release();

 private:
  db::Connection& second_;
  bool held_ = false;
  bool sqlite_ = false;
};

// Passes every call on; runs `action` just before the given transaction
// begin (counted from 1) and before the given Execute.
class CuedConnection final : public db::ForwardingConnection {
 public:
  using ForwardingConnection::ForwardingConnection;

  int begins = 0;
  int executes = 0;
  int beginAt = 0;
  int executeAt = 0;
  std::function<void()> action;

  Status Execute(const std::string& sql) override {
    if (++executes == executeAt && action) action();
    return base().Execute(sql);
  }
  Status BeginTrans() override {
    if (++begins == beginAt && action) action();
    return base().BeginTrans();
  }
};

}  // namespace tolven::testing
