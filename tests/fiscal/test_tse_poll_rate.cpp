// How hard a waiting register looks at the shared answer table, on the fake
// clock: an answer is noticed within one pause, and a long wait stays under
// 200 looks a second.
#include <gtest/gtest.h>

#include "fiscal/modTSE.h"
#include "fiscal/modTSE_Vestra.h"
#include "support/test_db.h"

namespace tolven::testing {
namespace {

TEST(TsePollRate, AnswersAreNoticedWithinOnePauseAtFewerThan200LooksASecond) {
  for (int answerAfterMs : {250, 700, 3000, 14000}) {
    SCOPED_TRACE(answerAfterMs);
    TestDb db;
    fiscal::modTSE_Vestra vestra(db.tools());
    fiscal::Tse tse(db.tools(), vestra, fiscal::TseIdentity{});
    vestra.Attach(tse);
    const int64_t requested = db.env().MonotonicMs();
    const int64_t answered = requested + answerAfterMs;
    bool stored = false;
    // The server's answer counts from a fixed moment after the request; the fake
    // clock moves only in the adapter's pauses, so it is stored at the first
    // pause that reaches that moment.
    db.env().onSleep = [&](int) {
      if (stored || db.env().MonotonicMs() < answered) return;
      db::DbError err;
      auto rs = db.conn().Query("SELECT kasse, merker FROM tse_server_req", err);
      ASSERT_TRUE(rs && !rs->Eof()) << err.text;
      db.Exec("INSERT INTO tse_server_ans (kasse, merker, tse_trxnr, tse_logtimeutc) VALUES (" +
              rs->Raw(0).AsString() + ", " + rs->Raw(1).AsString() + ", 7, 1765000000)");
      stored = true;
    };
    int32_t start = 0;
    ASSERT_EQ(vestra.Start("", "", start), 7);
    const int64_t noticed = db.env().MonotonicMs();
    EXPECT_LE(noticed - answered, fiscal::modTSE_Vestra::kPollPauseMs);
    const double polling = static_cast<double>(noticed - requested - fiscal::modTSE_Vestra::kFirstPauseMs) / 1000.0;
    EXPECT_LE(static_cast<double>(vestra.answerQueries()), 1 + 200 * polling) << vestra.answerQueries();
  }
}

}  // namespace
}  // namespace tolven::testing
