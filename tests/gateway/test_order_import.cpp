// Prices and toppings of a booked order line.
#include <gtest/gtest.h>

#include "support/gateway_fixture.h"

namespace tolven::testing {
namespace {

class OrderImportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    f.AddArticle("P", "Pizza", 800, 1, "belpreis = 2, ahpreis = 250, happy1preis = 500, happy2preis = 450");
    f.db.Exec("INSERT INTO belaege (belnr, belbez, preis1, preis2, preis3) VALUES (15, 'Oliven', 10, 20, 30)");
    f.db.Exec("INSERT INTO belaege (belnr, belbez, preis1, preis2, preis3) VALUES (7, 'Käse', 5, 70, 9)");
  }
  void At(int hour, int minute, int second = 0) { f.db.env().SetNow({Date{2026, 12, 5}, hour, minute, second, 0}); }
  int32_t Price(const std::string& artnr, bool takeAway) {
    return f.form.orderImport().GetArticlePrice(artnr, takeAway);
  }
  GatewayFixture f;
};

TEST_F(OrderImportTest, HappyHourWindowsAndTakeAway) {
  f.db.Exec("UPDATE system SET happy1start = '17:00', happy1ende = '19:00', happy2start = '18:30', "
            "happy2ende = '18:45'");
  struct Case {
    int h, m;
    bool takeAway;
    int32_t price;
  } cases[] = {
      {16, 59, false, 800}, {17, 0, false, 500}, {19, 0, false, 500}, {19, 1, false, 800},
      {18, 40, false, 450},  // window 2 wins
      {18, 40, true, 250},   // take-away price, no happy hour
  };
  for (const auto& c : cases) {
    At(c.h, c.m);
    EXPECT_EQ(Price("P", c.takeAway), c.price) << c.h << ":" << c.m;
  }
  f.db.Exec("UPDATE system SET happy1start = '22:00', happy1ende = '02:00', happy2start = '', happy2ende = ''");
  for (int h : {22, 23, 0, 1}) {
    At(h, 30);
    EXPECT_EQ(Price("P", false), 800) << "a window across midnight never applies";
  }
}

// A special price of 0 (or none) is no special price: the normal one stays.
TEST_F(OrderImportTest, ASpecialPriceOfZeroOrNoneKeepsTheNormalPrice) {
  f.db.Exec("UPDATE system SET happy1start = '17:00', happy1ende = '19:00'");
  f.AddArticle("W", "Wasser", 300, 1, "happy1preis = 0, ahpreis = 0");
  f.AddArticle("N", "Nudeln", 900, 1, "happy1preis = NULL, ahpreis = NULL");
  At(18, 0);
  EXPECT_EQ(Price("W", false), 300);
  EXPECT_EQ(Price("W", true), 300);
  EXPECT_EQ(Price("N", false), 900);
  EXPECT_EQ(Price("N", true), 900);
  EXPECT_EQ(Price("P", false), 500) << "a real happy-hour price still applies";
}

// The offer holds while now is before `angbis` as stored: a plain date ends it
// at the start of that day, a time of day at that time.
TEST_F(OrderImportTest, OfferHoldsUntilItsEndAsStored) {
  f.AddArticle("A", "Angebot", 300, 1, "angbis = '2026-12-06 00:00:00', angpreis = 199");
  f.AddArticle("T", "Mittagstisch", 900, 1, "angbis = '2026-12-05 14:30:00', angpreis = 650");
  At(12, 0);
  EXPECT_EQ(Price("A", false), 199);
  EXPECT_EQ(Price("T", false), 650);
  At(14, 29, 59);
  EXPECT_EQ(Price("T", false), 650);
  At(14, 30);
  EXPECT_EQ(Price("T", false), 900);
  f.db.env().SetNow({Date{2026, 12, 6}, 0, 0, 0, 0});
  EXPECT_EQ(Price("A", false), 300);
  EXPECT_EQ(Price("gibt es nicht", false), 0);
}

TEST_F(OrderImportTest, ToppingsAddSurchargesAndKitchenTexts) {
  At(12, 0);
  struct Case {
    std::string toppings;
    int32_t price;
    std::string belaginfo, belnrinfo;
  } cases[] = {
      {"2x15+1x7", 800 + 2 * 20 + 70, "2xOliven, Käse, ", "2x15;1x7;"},
      {"1x0+1x7", 800, "", ""},
      {"1x99+1x7", 870, "Käse, ", "1x7;"},  // unknown topping skipped
      {"", 800, "", ""},
  };
  for (const auto& c : cases) {
    f.db.Exec("DELETE FROM bestellung");
    ASSERT_EQ(f.form.orderImport().ImportOrderLine("D;P;1;;" + c.toppings, 5, 3), "OK") << c.toppings;
    EXPECT_EQ(f.db.Scalar("SELECT epreis FROM bestellung"), std::to_string(c.price)) << c.toppings;
    EXPECT_EQ(f.db.Scalar("SELECT opreis FROM bestellung"), std::to_string(c.price));
    EXPECT_EQ(f.db.Scalar("SELECT belaginfo FROM bestellung"), c.belaginfo);
    EXPECT_EQ(f.db.Scalar("SELECT belnrinfo FROM bestellung"), c.belnrinfo);
  }
  EXPECT_EQ(f.db.Scalar("SELECT kueprt FROM bestellung"), "2");
}

TEST_F(OrderImportTest, TakeAwayOnTableZeroEvenInHappyHour) {
  f.db.Exec("UPDATE system SET happy1start = '17:00', happy1ende = '19:00'");
  At(18, 0);
  ASSERT_EQ(f.form.orderImport().ImportOrderLine("D; P ;2; scharf ;", 0, 3), "OK");
  EXPECT_EQ(f.db.Scalar("SELECT epreis || '/' || menge || '/' || artnr || '/' || kueinfo FROM bestellung"),
            "250/2/P/scharf");
}

// A topping count below 1 would lower the price, down to a negative line.
TEST_F(OrderImportTest, ToppingCountsBelowOneRefuseTheLine) {
  for (const char* toppings : {"-9x15", "2x15+-100x7", "0x7", "x7"}) {
    const std::string result = f.form.orderImport().ImportOrderLine(std::string("D;P;1;;") + toppings, 5, 3);
    EXPECT_EQ(result.rfind("Belaganzahl unzulässig", 0), 0u) << toppings << ": " << result;
  }
  EXPECT_EQ(f.db.Count("bestellung"), 0);
}

TEST_F(OrderImportTest, PriceOverflowIsRefusedNotWrapped) {
  f.db.Exec("UPDATE belaege SET preis2 = 2000000000 WHERE belnr = 15");
  EXPECT_NE(f.form.orderImport().ImportOrderLine("D;P;1;;2x15", 5, 3), "OK");
  EXPECT_EQ(f.db.Count("bestellung"), 0);
}

}  // namespace
}  // namespace tolven::testing
