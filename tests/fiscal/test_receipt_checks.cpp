// The safeguards of a receipt row: check text, signature, turnover counter and
// chronology.
#include <gtest/gtest.h>

#include <limits>

#include "common/text.h"
#include "fiscal/receipt_checks.h"
#include "fiscal/rijndael.h"
#include "support/test_db.h"

namespace tolven::fiscal {
namespace {

TEST(RecordCrc, KermitLowByteFirstOverDateNumberAndAmount) {
  EXPECT_EQ(HexEncode(Crc16Text(std::string("K\xFC") + "che \xFF\x80")), "491B") << "bytes above 127 count unsigned";
  const Date d{2026, 12, 5};
  EXPECT_EQ(RecordCRC(d, 42, 1250), "A04D");   // "05.12.202600000000420000001250"
  EXPECT_EQ(RecordCRC(d, 42, -1250), "606A");  // "05.12.20260000000042-000001250"
  // Eight-digit numbers go through single precision as every program of the
  // installation writes them, so neighbours share their check text.
  EXPECT_EQ(RecordCRC(d, 12345678, 0), RecordCRC(d, 12345679, 0));
  EXPECT_NE(RecordCRC(d, 1234567, 0), RecordCRC(d, 1234568, 0));
}

// The key data field by field (widths are minima, negative amounts keep theirs,
// the payment type is cut to six), and the signature decrypts to it under the
// installation's key.
TEST(Signature, KeyDataAndItsEncryption) {
  const SignatureInput in{.installationNr = 4711,
                          .bunr = 123456789,
                          .time = {{2026, 12, 5}, 14, 3, 9, 370},
                          .normalRate = -500,
                          .reducedRate1 = 535,
                          .zeroRate = 250,
                          .turnoverCounter = 123456,
                          .zahlart = "KREDITKARTE"};
  const std::string data = SignatureKeyData(in);
  EXPECT_EQ(data, std::string("004711") + "123456789" + "20261205" + "140309" + "-0000500" + "00000535" + "00000000" +
                      "00000000" + "00000250" + "0000123456" + "KREDIT");
  const std::string raw = HexDecode(Signatur0(in));
  ASSERT_EQ(raw.size(), 96u);  // four-byte length + 85 characters, three 32-byte blocks
  auto plain = Rijndael().DecryptData(std::vector<uint8_t>(raw.begin(), raw.end()), "DKYCRxa&SlIyC-lV5qz5PeLUPMF+kb#U");
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(std::string(plain->begin(), plain->end()), data);
}

class BelegSchreibenTest : public ::testing::Test {
 protected:
  bool Write(int32_t bunr, Cents betrag, DateTime time = {Date{2026, 12, 5}, 12, 0, 0, 0},
             ReceiptSafeguards* stored = nullptr) {
    ReceiptHeader h;
    h.bunr = bunr;
    h.datumzeit = h.vorgangstart = time;
    h.betrag = h.sum1 = betrag;
    h.rate1 = Rate::FromPercent(19);
    h.rate2 = Rate::FromPercent(7);
    h.zahlart = "BAR";
    Status written = BelegSchreiben(db.tools(), h, stored);
    error = written.message();
    return written.ok();
  }
  std::string Counter(int32_t bunr) {
    return db.Scalar("SELECT umsatzzaehler FROM kass WHERE bunr = " + std::to_string(bunr));
  }

  testing::TestDb db;
  std::string error;
};

TEST_F(BelegSchreibenTest, StoresSignatureAndCheckTextOfTheRow) {
  db.state().installationNr = 815;
  ReceiptSafeguards stored;
  const DateTime at{{2026, 12, 5}, 12, 0, 0, 0};
  ASSERT_TRUE(Write(1, 1190, at, &stored)) << error;
  EXPECT_EQ(stored.signatur0,
            Signatur0({.installationNr = 815, .bunr = 1, .time = at, .normalRate = 1190, .zahlart = "BAR"}));
  EXPECT_EQ(db.Scalar("SELECT signatur0 || '|' || crc || '|' || doy || '|' || sigver FROM kass WHERE bunr = 1"),
            stored.signatur0 + "|" + RecordCRC(at.date, 1, 1190) + "|26339|1");
  EXPECT_FALSE(Write(1, 100));  // bunr is unique
  EXPECT_TRUE(StartsWith(error, "\r\nkass:\r\n\r\n") && error.size() > 11) << "the database's text follows";
}

TEST_F(BelegSchreibenTest, TurnoverCounterIsRebuiltFromAZeroCounterAndStaysIn32Bits) {
  ASSERT_TRUE(Write(7, 1000)) << error;
  // An old receipt before 2017 does not count in the rebuild.
  db.Exec("INSERT INTO kass (bunr, datumzeit, betrag, umsatzzaehler) VALUES (3, '2016-12-31 23:59:59', 99999, 0)");
  ASSERT_TRUE(Write(8, 250) && Write(9, -50) && Write(10, 5)) << error;
  EXPECT_EQ(Counter(7) + " " + Counter(8) + " " + Counter(9) + " " + Counter(10), "0 1250 1200 1205");

  db.Exec("INSERT INTO kass (bunr, datumzeit, betrag, umsatzzaehler) VALUES (20, '2026-12-05 12:00:00', 5, " +
          std::to_string(std::numeric_limits<int32_t>::max() - 10) + ")");
  EXPECT_FALSE(Write(21, 11));
  EXPECT_NE(error.find("Umsatzzähler"), std::string::npos) << error;
  EXPECT_TRUE(Write(21, 10)) << "exactly the maximum still fits";
}

// The same second is no step back; in the night the clocks go back, the
// repeated hour is in order, a clock set back further is not.
TEST_F(BelegSchreibenTest, ChronologyAllowsOnlyTheHourTheClocksGoBack) {
  ASSERT_TRUE(Write(1, 100) && Write(2, 100, {Date{2026, 12, 5}, 12, 0, 0, 999})) << error;
  db.Exec("DELETE FROM kass");
  // 25.10.2026: at 01:00 UTC local time goes from 03:00 summer time back to 02:00.
  const int64_t change = DaysFromCivil(Date{2026, 10, 25}) * 86400 + 3600;
  db.env().utcOffset = [change](int64_t t) { return t < change ? 7200 : 3600; };
  db.env().SetNow({{2026, 10, 25}, 1, 30, 0, 0});
  db.env().Advance(80 * 60 * 1000);  // 02:50 summer time
  ASSERT_TRUE(Write(1, 100, db.env().Now())) << error;
  db.env().Advance(20 * 60 * 1000);
  EXPECT_TRUE(Write(2, 100, db.env().Now())) << "02:10 winter time: " << error;
  db.env().Advance(6 * 60 * 1000);
  EXPECT_FALSE(Write(3, 100, {{2026, 10, 25}, 1, 5, 0, 0}));
  EXPECT_EQ(error, "Chronologische Abfolge nicht gegeben! 25.10.2026 01:05:00<25.10.2026 02:10:00");
}

}  // namespace
}  // namespace tolven::fiscal
