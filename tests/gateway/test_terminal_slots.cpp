// Terminal slots are counted 1..5: every slot is polled, each with its own
// exchange folder, work file name and printer.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/gateway_fixture.h"

namespace tolven::testing {
namespace {

TEST(TerminalSlots, OnePassServesAllFiveSlotsEachInItsOwnFolder) {
  GatewayFixture f;
  // The fixture's two slots: a printer named "kein ..." is none, a slot without
  // folder is never polled (two slots in use: two 50 ms waits per pass).
  EXPECT_EQ(f.form.slots()[2].printer, "");
  EXPECT_FALSE(f.form.slots()[3].inUse);
  f.form.PollPass();
  EXPECT_EQ(f.db.env().sleeps(), std::vector<int>({50, 50}));
  f.AddArticle("10", "Cola 0,4", 350);
  std::string set;
  for (int i = 1; i <= 5; ++i) {
    std::filesystem::create_directories(f.Slot(i));
    set += (i > 1 ? ", " : "") + std::string("pfadppcsync") + std::to_string(i) + " = '" + f.Slot(i) + "'";
    set += ", pdaprt" + std::to_string(i) + " = 'COM" + std::to_string(i) + "'";
  }
  f.db.Exec("UPDATE system SET " + set);
  f.form.Load();
  for (int i = 1; i <= 5; ++i) {
    EXPECT_EQ(f.form.slots()[i].folder, f.Slot(i));
    EXPECT_EQ(f.form.slots()[i].printer, "COM" + std::to_string(i));
  }

  for (int i = 1; i <= 4; ++i) f.Drop(i, "bestell.txt", {"A;" + std::to_string(10 + i) + ";3", "D;10;1;;", "E;;"});
  f.Drop(5, "info.txt", {"T;15"});
  f.form.PollPass();

  for (int i = 1; i <= 4; ++i) EXPECT_EQ(f.db.Count("bestellung", "tisch = " + std::to_string(10 + i)), 1) << i;
  EXPECT_EQ(f.requestCalls, std::vector<std::string>({"5"}));
}

}  // namespace
}  // namespace tolven::testing
