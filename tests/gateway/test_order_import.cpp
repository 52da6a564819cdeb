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
  GatewayFixture f;
};

// Happy hours (window 2 wins, never across midnight), take-away prices, a
// special price of 0 or none that keeps the normal one, and offers that hold
// until their end as stored (a plain date ends at the start of that day).
TEST_F(OrderImportTest, ArticlePriceByTimeAndPlace) {
  f.AddArticle("W", "Wasser", 300, 1, "happy1preis = 0, ahpreis = 0");
  f.AddArticle("N", "Nudeln", 900, 1, "happy1preis = NULL, ahpreis = NULL");
  f.AddArticle("A", "Angebot", 300, 1, "angbis = '2026-12-06 00:00:00', angpreis = 199");
  f.AddArticle("T", "Mittagstisch", 900, 1, "angbis = '2026-12-05 14:30:00', angpreis = 650");
  const std::string day = "happy1start = '17:00', happy1ende = '19:00', happy2start = '18:30', happy2ende = '18:45'";
  const std::string night = "happy1start = '22:00', happy1ende = '02:00', happy2start = '', happy2ende = ''";
  struct Case {
    const std::string& hours;
    int h, m, s;
    const char* artnr;
    bool takeAway;
    int32_t price;
  } cases[] = {
      {day, 16, 59, 0, "P", false, 800}, {day, 17, 0, 0, "P", false, 500},  {day, 19, 0, 0, "P", false, 500},
      {day, 19, 1, 0, "P", false, 800},  {day, 18, 40, 0, "P", false, 450}, {day, 18, 40, 0, "P", true, 250},
      {day, 18, 0, 0, "W", false, 300},  {day, 18, 0, 0, "W", true, 300},   {day, 18, 0, 0, "N", false, 900},
      {day, 18, 0, 0, "N", true, 900},   {night, 22, 30, 0, "P", false, 800}, {night, 1, 30, 0, "P", false, 800},
      {day, 12, 0, 0, "A", false, 199},  {day, 14, 29, 59, "T", false, 650}, {day, 14, 30, 0, "T", false, 900},
      {day, 12, 0, 0, "gibt es nicht", false, 0},
  };
  for (const auto& c : cases) {
    f.db.Exec("UPDATE system SET " + c.hours);
    At(c.h, c.m, c.s);
    EXPECT_EQ(f.form.orderImport().GetArticlePrice(c.artnr, c.takeAway), c.price)
        << c.artnr << " " << c.h << ":" << c.m << ":" << c.s << (c.takeAway ? " außer Haus" : "");
  }
  f.db.env().SetNow({Date{2026, 12, 6}, 0, 0, 0, 0});
  EXPECT_EQ(f.form.orderImport().GetArticlePrice("A", false), 300);
}

// Toppings add their price of the article's column and name themselves for the
// kitchen (an unknown one is skipped). A count below 1 would lower the price,
// down to a negative line; a price beyond 32 bits would wrap.
TEST_F(OrderImportTest, ToppingsAddSurchargesCountsBelowOneAndPriceOverflowRefuseTheLine) {
  At(12, 0);
  ASSERT_EQ(f.form.orderImport().ImportOrderLine("D; P ;2; scharf ;2x15+1x99+1x7", 5, 3), "OK");
  EXPECT_EQ(f.db.Scalar("SELECT epreis || '/' || opreis || '/' || menge || '/' || kueinfo || '/' || belaginfo || '/' || "
                        "belnrinfo || '/' || kueprt FROM bestellung"),
            "910/910/2/scharf/2xOliven, Käse, /2x15;1x7;/2");
  f.db.Exec("DELETE FROM bestellung");
  for (const char* toppings : {"-9x15", "2x15+-100x7", "0x7", "x7"}) {
    const std::string result = f.form.orderImport().ImportOrderLine(std::string("D;P;1;;") + toppings, 5, 3);
    EXPECT_EQ(result.rfind("Belaganzahl unzulässig", 0), 0u) << toppings << ": " << result;
  }
  f.db.Exec("UPDATE belaege SET preis2 = 2000000000 WHERE belnr = 15");
  EXPECT_NE(f.form.orderImport().ImportOrderLine("D;P;1;;2x15", 5, 3), "OK");
  EXPECT_EQ(f.db.Count("bestellung"), 0);
}

}  // namespace
}  // namespace tolven::testing
