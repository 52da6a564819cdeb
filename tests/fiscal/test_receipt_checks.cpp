#include "fiscal/receipt_checks.h"

#include <gtest/gtest.h>

#include <limits>

#include "common/text.h"
#include "fiscal/CRijndael.h"
#include "support/test_db.h"

namespace tolven::fiscal {
namespace {

using testing::TestDb;

// CRC-16/KERMIT bit by bit, independent of the table-driven one.
uint16_t KermitBitwise(const std::string& text) {
  uint16_t crc = 0;
  for (unsigned char c : text) {
    crc ^= c;
    for (int i = 0; i < 8; ++i) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : static_cast<uint16_t>(crc >> 1);
  }
  return crc;
}

TEST(RecordCrc, KermitLowByteFirst) {
  EXPECT_EQ(HexEncode(Crc16Text("123456789")), "8921");
  EXPECT_EQ(HexEncode(Crc16Text("")), "0000");
  for (const std::string text : {"abc", "05.12.20260000000042-000001250", "Küche \xFF\x80"}) {
    const uint16_t crc = KermitBitwise(text);
    const std::string expected{static_cast<char>(crc & 0xFF), static_cast<char>(crc >> 8)};
    EXPECT_EQ(Crc16Text(text), expected) << text;
  }
}

TEST(RecordCrc, DateNumberAmountInTenCharactersEach) {
  const Date d{2026, 12, 5};
  EXPECT_EQ(RecordCRC(d, 42, 1250), HexEncode(Crc16Text("05.12.202600000000420000001250")));
  EXPECT_EQ(RecordCRC(d, 42, -1250), HexEncode(Crc16Text("05.12.20260000000042-000001250")));
  // Eight-digit numbers go through single precision as every program of the
  // installation writes them, so neighbours share their check text.
  EXPECT_EQ(RecordCRC(d, 12345678, 0), RecordCRC(d, 12345679, 0));
  EXPECT_NE(RecordCRC(d, 1234567, 0), RecordCRC(d, 1234568, 0));
}

SignatureInput KnownReceipt() {
  SignatureInput in;
  in.installationNr = 4711;
  in.bunr = 1234;
  in.time = DateTime{Date{2026, 12, 5}, 14, 3, 9, 370};
  in.normalRate = 1190;
  in.reducedRate1 = 535;
  in.reducedRate2 = 0;
  in.zeroRate = 250;
  in.turnoverCounter = 123456;
  in.zahlart = "BAR";
  return in;
}

TEST(Signature, KeyDataFieldByField) {
  const std::string data = SignatureKeyData(KnownReceipt());
  struct Field {
    size_t at, width;
    const char* text;
  };
  const Field fields[] = {{0, 6, "004711"},    {6, 8, "00001234"},  {14, 8, "20261205"}, {22, 6, "140309"},
                          {28, 8, "00001190"}, {36, 8, "00000535"}, {44, 8, "00000000"}, {52, 8, "00000000"},
                          {60, 8, "00000250"}, {68, 10, "0000123456"}, {78, 6, "BAR   "}};
  ASSERT_EQ(data.size(), 84u) << data;
  for (const Field& f : fields) EXPECT_EQ(data.substr(f.at, f.width), f.text) << "at " << f.at;
}

TEST(Signature, WidthsAreMinimaAndThePaymentTypeIsCut) {
  struct Case {
    const char* what;
    SignatureInput in;
    size_t at;
    const char* expected;
  };
  SignatureInput big = KnownReceipt();
  big.bunr = 123456789;  // nine digits stay nine digits
  SignatureInput negative = KnownReceipt();
  negative.normalRate = -500;
  SignatureInput longType = KnownReceipt();
  longType.zahlart = "KREDITKARTE";
  const Case cases[] = {{"nine-digit bunr", big, 6, "123456789"},
                        {"negative amount keeps width", negative, 28, "-0000500"},
                        {"payment type in six characters", longType, 78, "KREDIT"}};
  for (const Case& c : cases) {
    EXPECT_EQ(SignatureKeyData(c.in).substr(c.at, std::string(c.expected).size()), c.expected) << c.what;
  }
  EXPECT_EQ(SignatureKeyData(longType).size(), 84u);
}

TEST(Signature, DecryptsToTheKeyDataWithTheConstantsKey) {
  const std::string key = SignatureKey();
  EXPECT_EQ(key.size(), 58u);
  EXPECT_EQ(key.substr(0, 8), "DKYCRxa&");

  const std::string sig = Signatur0(KnownReceipt());
  EXPECT_EQ(sig, Signatur0(KnownReceipt())) << "no random part";
  // Four-byte length + 84 characters, padded to three 32-byte blocks.
  ASSERT_EQ(sig.size(), 2u * 96u);
  const std::string raw = HexDecode(sig);
  CRijndael cipher;
  auto plain = cipher.DecryptData(std::vector<uint8_t>(raw.begin(), raw.end()), key.substr(0, 32));
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(std::string(plain->begin(), plain->end()), SignatureKeyData(KnownReceipt()));

  SignatureInput other = KnownReceipt();
  other.turnoverCounter += 1;
  EXPECT_NE(Signatur0(other), sig);
}

class BelegSchreibenTest : public ::testing::Test {
 protected:
  ReceiptHeader Header(int32_t bunr, Cents betrag, DateTime time) {
    ReceiptHeader h;
    h.bunr = bunr;
    h.seqnr = bunr + 100;
    h.datumzeit = time;
    h.vorgangstart = time;
    h.txt = "VERKAUF";
    h.betrag = betrag;
    h.sum1 = betrag;
    h.rate1 = Rate::FromPercent(19);
    h.rate2 = Rate::FromPercent(7);
    h.zahlart = "BAR";
    h.gaeste = 1;
    return h;
  }
  bool Write(const ReceiptHeader& h, std::string& error) { return BelegSchreiben(db.tools(), h, error); }
  int64_t Counter(int32_t bunr) {
    return std::stoll("0" + db.Scalar("SELECT umsatzzaehler FROM kass WHERE bunr = " + std::to_string(bunr)));
  }

  TestDb db;
  DateTime noon{Date{2026, 12, 5}, 12, 0, 0, 0};
};

TEST_F(BelegSchreibenTest, RefusesAZeroRateOneOrTwo) {
  for (int which = 1; which <= 2; ++which) {
    ReceiptHeader h = Header(1, 1000, noon);
    (which == 1 ? h.rate1 : h.rate2) = Rate{0};
    std::string error;
    EXPECT_FALSE(Write(h, error));
    EXPECT_EQ(error, "Falsche MwSt-Sätze 1/2");
  }
  EXPECT_EQ(db.Count("kass"), 0);
}

TEST_F(BelegSchreibenTest, CounterChainStartsAtZeroAndIsRebuiltFromAZeroCounter) {
  std::string error;
  ASSERT_TRUE(Write(Header(7, 1000, noon), error)) << error;
  EXPECT_EQ(Counter(7), 0) << "the first receipt gets 0 whatever its amount";
  // An old receipt before 2017 does not count in the rebuild.
  db.Exec("INSERT INTO kass (bunr, datumzeit, betrag, umsatzzaehler) VALUES (3, '2016-12-31 23:59:59', 99999, 0)");
  ASSERT_TRUE(Write(Header(8, 250, noon), error)) << error;
  EXPECT_EQ(Counter(8), 1000 + 250) << "rebuilt from the amounts since 2017";
  ASSERT_TRUE(Write(Header(9, -50, noon), error)) << error;
  EXPECT_EQ(Counter(9), 1250 - 50);
  ASSERT_TRUE(Write(Header(10, 5, noon), error)) << error;
  EXPECT_EQ(Counter(10), 1205);
}

TEST_F(BelegSchreibenTest, ChronologyAllowsTheSameSecondAndRefusesAnEarlierOne) {
  std::string error;
  ASSERT_TRUE(Write(Header(1, 100, noon), error));
  DateTime sameSecond = noon;
  sameSecond.millisecond = 999;
  ASSERT_TRUE(Write(Header(2, 100, sameSecond), error)) << error;
  DateTime earlier{Date{2026, 12, 5}, 11, 59, 59, 0};
  EXPECT_FALSE(Write(Header(3, 100, earlier), error));
  EXPECT_EQ(error, "Chronologische Abfolge nicht gegeben! 05.12.2026 11:59:59<05.12.2026 12:00:00");
  EXPECT_EQ(db.Count("kass"), 2);
}

TEST_F(BelegSchreibenTest, RefusesACounterBeyond32Bits) {
  db.Exec("INSERT INTO kass (bunr, datumzeit, betrag, umsatzzaehler) VALUES (1, '2026-12-05 10:00:00', 5, " +
          std::to_string(std::numeric_limits<int32_t>::max() - 10) + ")");
  std::string error;
  EXPECT_FALSE(Write(Header(2, 11, noon), error));
  EXPECT_NE(error.find("Umsatzzähler"), std::string::npos) << error;
  EXPECT_EQ(db.Count("kass"), 1);
  EXPECT_TRUE(Write(Header(2, 10, noon), error)) << "exactly the maximum still fits";
}

TEST_F(BelegSchreibenTest, StoresSignatureAndCheckTextOfTheRow) {
  db.state().installationNr = 815;
  std::string error;
  ReceiptSafeguards stored;
  ReceiptHeader h = Header(1, 1190, noon);
  ASSERT_TRUE(BelegSchreiben(db.tools(), h, error, &stored)) << error;
  EXPECT_EQ(db.Scalar("SELECT crc FROM kass WHERE bunr = 1"), RecordCRC(noon.date, 1, 1190));
  EXPECT_EQ(db.Scalar("SELECT signatur0 FROM kass WHERE bunr = 1"), stored.signatur0);
  SignatureInput in;
  in.installationNr = 815;
  in.bunr = 1;
  in.time = noon;
  in.normalRate = 1190;
  in.zahlart = "BAR";
  EXPECT_EQ(stored.signatur0, Signatur0(in));
  EXPECT_EQ(db.Scalar("SELECT doy FROM kass WHERE bunr = 1"), "26339");
  EXPECT_EQ(db.Scalar("SELECT sigver FROM kass WHERE bunr = 1"), "1");
}

TEST_F(BelegSchreibenTest, AFailingInsertReportsTheDatabaseText) {
  std::string error;
  ASSERT_TRUE(Write(Header(1, 100, noon), error));
  ReceiptHeader again = Header(1, 100, noon);  // bunr is unique
  EXPECT_FALSE(Write(again, error));
  EXPECT_EQ(error.substr(0, 11), "\r\nkass:\r\n\r\n");
  EXPECT_GT(error.size(), 11u);
}

}  // namespace
}  // namespace tolven::fiscal
