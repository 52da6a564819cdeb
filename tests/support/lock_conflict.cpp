#include "support/lock_conflict.h"

#include <gtest/gtest.h>

namespace tolven::testing {

HeldLock::HeldLock(db::Connection& second, const std::string& rowsSql)
    : second_(second), sqlite_(std::string(second.dialect().Name()) == "SQLITE") {
  Status taken;
  if (sqlite_) {
    taken = second_.BeginTrans();
  } else {
    // A plain BEGIN on a connection in autocommit mode: the driver passes it
    // on, so the row locks stay with this session until the ROLLBACK.
    taken = second_.Execute("BEGIN");
    if (taken) taken = second_.Execute(rowsSql);
  }
  held_ = taken.ok();
  EXPECT_TRUE(held_) << taken.message();
}

void HeldLock::Release() {
  if (!held_) return;
  held_ = false;
  const Status released = sqlite_ ? second_.RollbackTrans() : second_.Execute("ROLLBACK");
  EXPECT_TRUE(released) << released.message();
}

}  // namespace tolven::testing
