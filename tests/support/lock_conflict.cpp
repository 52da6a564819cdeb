#include "support/lock_conflict.h"

#include <gtest/gtest.h>

namespace tolven::testing {

HeldLock::HeldLock(db::Connection& second, const std::string& rowsSql)
    : second_(second), sqlite_(std::string(second.dialect().Name()) == "SQLITE") {
  db::DbError err;
  if (sqlite_) {
    held_ = second_.BeginTrans(err);
  } else {
    // A plain BEGIN on a connection in autocommit mode: the driver passes it
    // on, so the row locks stay with this session until the ROLLBACK.
    held_ = second_.Execute("BEGIN", err) && second_.Execute(rowsSql, err);
  }
  EXPECT_TRUE(held_) << err.text;
}

void HeldLock::Release() {
  if (!held_) return;
  held_ = false;
  db::DbError err;
  const bool ok = sqlite_ ? second_.RollbackTrans(err) : second_.Execute("ROLLBACK", err);
  EXPECT_TRUE(ok) << err.text;
}

}  // namespace tolven::testing
