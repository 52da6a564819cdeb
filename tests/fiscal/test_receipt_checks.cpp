// The safeguards of a receipt row: check text, signature, turnover counter and
// chronology.
#include "fiscal/receipt_checks.h"

#include <gtest/gtest.h>

#include <limits>

#include "common/text.h"
#include "fiscal/rijndael.h"
#include "support/test_db.h"

namespace tolven::fiscal {
namespace {

using testing::TestDb;

TEST(RecordCrc, KermitLowByteFirstOverDateNumberAndAmount) {
  const std::pair<std::string, std::string> known[] = {
      {"", "0000"}, {"123456789", "8921"}, {"K\xFC" "che \xFF\x80", "491B"}};  // bytes above 127 count unsigned
  for (const auto& [text, crc] : known) EXPECT_EQ(HexEncode(Crc16Text(text)), crc) << text;
  const Date d{2026, 12, 5};
  EXPECT_EQ(RecordCRC(d, 42, 1250), "A04D");   // "05.12.202600000000420000001250"
  EXPECT_EQ(RecordCRC(d, 42, -1250), "606A");  // "05.12.20260000000042-000001250"
  // Eight-digit numbers go through single precision as every program of the
  // installation writes them, so neighbours share their check text.
  EXPECT_EQ(RecordCRC(d, 12345678, 0), RecordCRC(d, 12345679, 0));
  EXPECT_NE(RecordCRC(d, 1234567, 0), RecordCRC(d, 1234568, 0));
}

const SignatureInput kKnown{.installationNr = 4711, .bunr = 1234, .time = {{2026, 12, 5}, 14, 3, 9, 370},
                            .normalRate = 1190, .reducedRate1 = 535, .zeroRate = 250, .turnoverCounter = 123456,
                            .zahlart = "BAR"};

TEST(Signature, KeyDataFieldByField) {
  const std::string data = SignatureKeyData(kKnown);
  ASSERT_EQ(data.size(), 84u) << data;
  EXPECT_EQ(data, std::string("004711") + "00001234" + "20261205" + "140309" + "00001190" + "00000535" + "00000000" +
                      "00000000" + "00000250" + "0000123456" + "BAR   ");
  // Widths are minima, negative amounts keep theirs, the payment type is cut to six.
  SignatureInput odd = kKnown;
  odd.bunr = 123456789;
  odd.normalRate = -500;
  odd.zahlart = "KREDITKARTE";
  const std::string oddData = SignatureKeyData(odd);
  EXPECT_EQ(oddData.substr(6, 9) + "|" + oddData.substr(29, 8) + "|" + oddData.substr(79), "123456789|-0000500|KREDIT");
}

TEST(Signature, DecryptsToTheKeyDataAndEqualReceiptsSignEqually) {
  const std::string sig = Signatur0(kKnown);
  EXPECT_EQ(sig, Signatur0(kKnown)) << "no random part";
  ASSERT_EQ(sig.size(), 2u * 96u);  // four-byte length + 84 characters, three 32-byte blocks
  const std::string raw = HexDecode(sig);
  Rijndael cipher;
  auto plain = cipher.DecryptData(std::vector<uint8_t>(raw.begin(), raw.end()), SignatureKey().substr(0, 32));
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(std::string(plain->begin(), plain->end()), SignatureKeyData(kKnown));
  SignatureInput other = kKnown;
  other.turnoverCounter += 1;
  EXPECT_NE(Signatur0(other), sig);
}

class BelegSchreibenTest : public ::testing::Test {
 protected:
  ReceiptHeader Header(int32_t bunr, Cents betrag, DateTime time = {Date{2026, 12, 5}, 12, 0, 0, 0}) {
    ReceiptHeader h;
    h.bunr = bunr;
    h.seqnr = bunr + 100;
    h.datumzeit = h.vorgangstart = time;
    h.txt = "VERKAUF";
    h.betrag = h.sum1 = betrag;
    h.rate1 = Rate::FromPercent(19);
    h.rate2 = Rate::FromPercent(7);
    h.zahlart = "BAR";
    return h;
  }
  bool Write(const ReceiptHeader& h, ReceiptSafeguards* stored = nullptr) {
    Status written = BelegSchreiben(db.tools(), h, stored);
    error = written.message();
    return written.ok();
  }
  int64_t Counter(int32_t bunr) {
    return std::stoll("0" + db.Scalar("SELECT umsatzzaehler FROM kass WHERE bunr = " + std::to_string(bunr)));
  }

  TestDb db;
  std::string error;
};

TEST_F(BelegSchreibenTest, RefusesZeroRatesAndFailingInserts) {
  ReceiptHeader h = Header(1, 1000);
  h.rate2 = Rate{0};
  EXPECT_FALSE(Write(h));
  EXPECT_EQ(error, "Falsche MwSt-Sätze 1/2");
  ASSERT_TRUE(Write(Header(1, 100))) << error;
  EXPECT_FALSE(Write(Header(1, 100)));  // bunr is unique
  EXPECT_TRUE(StartsWith(error, "\r\nkass:\r\n\r\n") && error.size() > 11) << "the database's text follows";
}

TEST_F(BelegSchreibenTest, CounterChainStartsAtZeroAndIsRebuiltFromAZeroCounter) {
  ASSERT_TRUE(Write(Header(7, 1000))) << error;
  EXPECT_EQ(Counter(7), 0) << "the first receipt gets 0 whatever its amount";
  // An old receipt before 2017 does not count in the rebuild.
  db.Exec("INSERT INTO kass (bunr, datumzeit, betrag, umsatzzaehler) VALUES (3, '2016-12-31 23:59:59', 99999, 0)");
  ASSERT_TRUE(Write(Header(8, 250))) << error;
  EXPECT_EQ(Counter(8), 1000 + 250) << "rebuilt from the amounts since 2017";
  ASSERT_TRUE(Write(Header(9, -50))) << error;
  EXPECT_EQ(Counter(9), 1250 - 50);
  ASSERT_TRUE(Write(Header(10, 5))) << error;
  EXPECT_EQ(Counter(10), 1205);
}

TEST_F(BelegSchreibenTest, RefusesACounterBeyond32BitsAndAnEarlierReceipt) {
  db.Exec("INSERT INTO kass (bunr, datumzeit, betrag, umsatzzaehler) VALUES (1, '2026-12-05 12:00:00', 5, " +
          std::to_string(std::numeric_limits<int32_t>::max() - 10) + ")");
  EXPECT_FALSE(Write(Header(2, 11)));
  EXPECT_NE(error.find("Umsatzzähler"), std::string::npos) << error;
  EXPECT_TRUE(Write(Header(2, 10))) << "exactly the maximum still fits";
  // The same second is no step back, an earlier one is.
  ASSERT_TRUE(Write(Header(3, -100, {Date{2026, 12, 5}, 12, 0, 0, 999}))) << error;
  EXPECT_FALSE(Write(Header(4, 100, {Date{2026, 12, 5}, 11, 59, 59, 0})));
  EXPECT_EQ(error, "Chronologische Abfolge nicht gegeben! 05.12.2026 11:59:59<05.12.2026 12:00:00");
  EXPECT_EQ(db.Count("kass"), 3);
}

TEST_F(BelegSchreibenTest, TheHourTheClocksGoBackIsInOrderAClockSetBackIsNot) {
  // 25.10.2026: at 01:00 UTC local time goes from 03:00 summer time back to 02:00.
  const int64_t change = DaysFromCivil(Date{2026, 10, 25}) * 86400 + 3600;
  db.env().utcOffset = [change](int64_t t) { return t < change ? 7200 : 3600; };
  db.env().SetNow({{2026, 10, 25}, 1, 30, 0, 0});
  db.env().Advance(80 * 60 * 1000);
  ASSERT_EQ(FormatHMS(db.env().Now()), "02:50:00") << "summer time";
  ASSERT_TRUE(Write(Header(1, 100, db.env().Now()))) << error;

  db.env().Advance(20 * 60 * 1000);
  ASSERT_EQ(FormatHMS(db.env().Now()), "02:10:00") << "winter time";
  EXPECT_TRUE(Write(Header(2, 100, db.env().Now()))) << error;
  db.env().Advance(5 * 60 * 1000);
  EXPECT_TRUE(Write(Header(3, 100, db.env().Now()))) << error;

  // Further back than the clocks went is a clock set back.
  db.env().Advance(60 * 1000);
  EXPECT_FALSE(Write(Header(4, 100, {{2026, 10, 25}, 1, 10, 0, 0})));
  EXPECT_EQ(error, "Chronologische Abfolge nicht gegeben! 25.10.2026 01:10:00<25.10.2026 02:15:00");

  // Any other night, ten minutes back are refused as before.
  db.env().Advance(3 * 3600 * 1000);
  ASSERT_EQ(FormatHMS(db.env().Now()), "05:16:00");
  ASSERT_TRUE(Write(Header(4, 100, db.env().Now()))) << error;
  EXPECT_FALSE(Write(Header(5, 100, {{2026, 10, 25}, 5, 6, 0, 0})));
  EXPECT_EQ(db.Count("kass"), 4);
}

TEST_F(BelegSchreibenTest, StoresSignatureAndCheckTextOfTheRow) {
  db.state().installationNr = 815;
  ReceiptSafeguards stored;
  ASSERT_TRUE(Write(Header(1, 1190), &stored)) << error;
  const SignatureInput in{.installationNr = 815, .bunr = 1, .time = {{2026, 12, 5}, 12, 0, 0, 0}, .normalRate = 1190,
                          .zahlart = "BAR"};
  EXPECT_EQ(stored.signatur0, Signatur0(in));
  EXPECT_EQ(db.Scalar("SELECT signatur0 || '|' || crc || '|' || doy || '|' || sigver FROM kass WHERE bunr = 1"),
            stored.signatur0 + "|" + RecordCRC(in.time.date, 1, 1190) + "|26339|1");
}

}  // namespace
}  // namespace tolven::fiscal
