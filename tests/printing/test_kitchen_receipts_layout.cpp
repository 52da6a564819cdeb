// What the kitchen gets on paper: layout, grouping, sorting, splitting, copies
// and which channel each printer's receipt goes to.
#include <set>
#include <tuple>

#include "kitchen_receipts_fixture.h"

namespace tolven::testing {
namespace {

using printing::KitchenReceipts;

TEST(KueBonText, DoubleSizeSplitAndCleaningForSigning) {
  // The double-size line breaks at a word only when the text is too long, and not too early.
  const std::pair<std::string, std::string> splits[] = {
      {"Spaghetti Bolo X", "Spaghetti Bolo X|"},  // fits: not broken at its last blank
      {"Rinderroulade mit Klößen", "Rinderroulade mit|Klößen"},  // blank right after 17 characters
      {"Schnitzel Wiener Art mit Pommes frites", "Schnitzel Wiener|Art mit Pommes frites"},
      {"Pizza Quattrostagioni", "Pizza Quattrostag|ioni"},   // only blank too early: hard cut
      {"Kartoffeln Gratiniert", "Kartoffeln|Gratiniert"},    // blank at position 11: still a word break
      {"Rindsteak Mediumrare", "Rindsteak Mediumr|are"},     // blank at position 10: too early
  };
  for (const auto& [text, expected] : splits) {
    std::string first, rest;
    KitchenReceipts::SplitDoubleSize(text, first, rest);
    EXPECT_EQ(first + "|" + rest, expected);
  }
  const std::pair<std::string, std::string> cleaned[] = {
      {"Bräu Müller's Öl", "Braeu Muellers Oel"},
      {"1/2 \"Hähnchen\" & 5% ´’; a;b", "12 Haehnchen  5 , a,b"},
      {"Crème brûlée à la Niño", "Creme br\xFBlee a la Nino"},  // letters without a rule stay
      {"ohne\r\nZwiebeln\tscharf\n", "ohne<CRLF>Zwiebelnscharf"},
  };
  for (const auto& [in, out] : cleaned) EXPECT_EQ(KitchenReceipts::CleanForSigning(in), out) << in;
}

TEST_F(KitchenReceiptsTest, WholeReceiptInNormalSize) {
  db.Exec("UPDATE system SET kuebonartnr = 1, kuebonpreis = 1, kuebongast = 1, kuebonkellner = 1, "
          "kuebonkunde = 1, bonshowtischname = -1, bonvor = 2");
  db.Exec("INSERT INTO tischnamen (tisch, name) VALUES (12, 'Fenster')");
  db.Exec("INSERT INTO kunden (kdnr, name) VALUES (5, 'Meier')");
  Printer(1, "Kueche", 0, 2, false, true, 0, true);
  Order(12, "A1", "Schnitzel Wiener Art mit Pommes frites", 2, 1250, 1, 1, 0, 1, "ohne Salz", "Zwiebeln, Speck, ");
  Order(12, "A2", "Cola", 1, 350, 1, 1, 0, 2);
  db.Exec("UPDATE bestellung SET kdnr = 5");
  Run();

  ASSERT_EQ(engine.printouts.size(), 1u);
  const auto& p = engine.printouts[0];
  EXPECT_TRUE(p.channel == "COM1" && p.cutAtEnd && !p.slowPrinter);
  const std::vector<std::string> expected = {
      ".", ".", ".", ".", ".", "Kueche", "Nr.1/1", " ", "Tisch  12 Fenster", "----------------------",
      "05.12.26  12:00", " ", "Kellner: 7 - Anna", " ", "Kunde  : Meier", " ", "2x Schnitzel Wiener Art mit Pom",
      "    mes frites", ">>> ohne Salz <<<", "  >Zwiebeln", "  >Speck", " Gast 1", "      ( A1 / 2x 12.50 )",
      "1x Cola", " Gast 2", "      ( A2 / 3.50 )", " ", " ", Bytes({27, 112, 0, 255, 255})};
  EXPECT_EQ(p.lines, expected);
  EXPECT_TRUE(log.Errors().empty());

  // The next table's receipt shows neither the name nor the customer of this one.
  Order(13, "A3", "Pils", 1, 400);
  Run(13, 101);
  ASSERT_EQ(engine.printouts.size(), 2u);
  EXPECT_EQ(std::vector<std::string>(engine.printouts[1].lines.begin() + 8, engine.printouts[1].lines.begin() + 15),
            (std::vector<std::string>{"Tisch  13 ", "----------------------", "05.12.26  12:00", " ",
                                      "Kellner: 7 - Anna", " ", "1x Pils"}));
}

TEST_F(KitchenReceiptsTest, WholeReceiptInDoubleSize) {
  const std::string DH = "\x1B!\x10", AUS = std::string("\x1B!", 2) + '\0', DHB = "\x1B!0", DB = "\x1B! ";
  db.Exec("UPDATE system SET kuebongross = -1, kuebonartnr = 2, kuebonpreis = 2, kuebongast = 2, "
          "kuebonkellner = 2, kuebonkunde = 2");
  db.Exec("INSERT INTO kunden (kdnr, name) VALUES (5, 'Meier')");
  Order(12, "A1", "Schnitzel Wiener Art mit Pommes frites", 1, 1250, 1, 1, 2, 3, "durch", "Pilze");
  db.Exec("UPDATE bestellung SET kdnr = 5");
  Run();

  ASSERT_EQ(engine.printouts.size(), 1u);
  const std::vector<std::string> expected = {
      DH + "Drucker1" + AUS, "Nr.1/1", " ", DH + "Tisch " + AUS + DHB + " 12" + AUS + " ", "----------------------",
      "05.12.26  " + DB + "12:00" + AUS, " ", DH + "Kellner: 7 - Anna" + AUS, " ", DH + "Kunde  : Meier" + AUS, " ",
      " ", DB + " --- 2. Gang ---" + AUS, " ", DHB + "1" + AUS + DH + "x " + AUS + DHB + "Schnitzel Wiener" + AUS,
      DHB + "    Art mit Pommes fr" + AUS, DHB + "    ites" + AUS, DH + ">>> durch <<<" + AUS, DHB + "  >Pilze" + AUS,
      DH + " Gast 3" + AUS, "      ( " + DH + "A1" + AUS + " / " + DH + "12.50" + AUS + " )"};
  EXPECT_EQ(engine.printouts[0].lines, expected);
}

TEST_F(KitchenReceiptsTest, GroupingAndSortDecideReceiptsAndOrder) {
  // Article number order keeps the groups together: A1, A2 in group 10 and A3, A4
  // in group 20; courses alternate 1, 2, 1, 2.
  struct Case {
    int grupp, sort;
    std::vector<std::vector<std::string>> receipts;
  } cases[] = {
      {0, 2, {{"1x A1", "1x A2", "1x A3", "1x A4"}}},
      {1, 2, {{"1x A1", "1x A2"}, {"1x A3", "1x A4"}}},
      {2, 2, {{"1x A1"}, {"1x A2"}, {"1x A3"}, {"1x A4"}}},
      {3, 2, {{"1x A1", "1x A3"}, {"1x A2", "1x A4"}}},  // gang, artnr
      {3, 1, {{"1x A1", "1x A3"}, {"1x A2", "1x A4"}}},  // gang, artgrp
      {2, 3, {{"1x A1"}, {"1x A2"}, {"1x A3"}, {"1x A4"}}},  // artgrp, gang
      {9, 2, {{"1x A1", "1x A2", "1x A3", "1x A4"}}},        // unknown grouping: one receipt
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("grupp " + std::to_string(c.grupp) + " sort " + std::to_string(c.sort));
    db.Exec("DELETE FROM bestellung");
    engine.printouts.clear();
    Printer(1, "Kueche", c.grupp, c.sort);
    // Inserted in an order that no sort gives by accident.
    using Line = std::tuple<const char*, int, int>;  // artnr, group, course
    for (const auto& [artnr, group, course] : {Line{"A4", 20, 2}, Line{"A2", 10, 2}, Line{"A3", 20, 1}, Line{"A1", 10, 1}})
      Order(12, artnr, artnr, 1, 100, 1, group, course);
    Run();

    ASSERT_EQ(engine.printouts.size(), c.receipts.size());
    std::set<std::string> numbers;
    for (size_t i = 0; i < c.receipts.size(); ++i) {
      const auto& p = engine.printouts[i];
      EXPECT_EQ(Articles(p), c.receipts[i]) << "receipt " << i;
      ASSERT_GT(p.lines.size(), 8u);
      numbers.insert(p.lines[1]);
      // Each receipt starts its course lines afresh.
      const char* course = c.receipts[i][0] == "1x A1" || c.receipts[i][0] == "1x A3" ? "1" : "2";
      EXPECT_EQ(p.lines[8], std::string(" --- ") + course + ". Gang ---") << "receipt " << i;
    }
    EXPECT_EQ(numbers.size(), c.receipts.size()) << "receipt numbers repeat";
    EXPECT_EQ(db.Scalar("SELECT COUNT(*) || '/' || COUNT(DISTINCT kuebonnr) FROM kuebonlog WHERE seqnr = "
                        "(SELECT MAX(seqnr) FROM kuebonlog)"),
              "4/" + std::to_string(c.receipts.size()));
  }
}

TEST_F(KitchenReceiptsTest, SplitCopiesAndBuzzer) {
  Printer(1, "Kueche", 0, 2, true, true, 2);
  db.Exec("UPDATE system SET bonvor = 1");
  Order(12, "A1", "Pils", 3, 400);
  Order(12, "A2", "Wasser", -2, 200);
  Run();
  ASSERT_EQ(engine.printouts.size(), 3u);  // the receipt and two copies
  for (const auto& p : engine.printouts) {
    EXPECT_EQ(p.lines, engine.printouts[0].lines);
    EXPECT_EQ(p.channel, "COM1");
  }
  // Split: one piece a line, cancellations too.
  EXPECT_EQ(Articles(engine.printouts[0]),
            (std::vector<std::string>{"1x Pils", "1x Pils", "1x Pils", "-1x Wasser", "-1x Wasser"}));
  EXPECT_EQ(db.Scalar("SELECT COUNT(*) || '/' || SUM(menge) FROM kuebonlog WHERE artnr = 'A1'"), "3/3");
  EXPECT_EQ(engine.printouts[0].lines.back(), Bytes({27, 112, 0, 255, 255}));
  EXPECT_EQ(db.env().sleeps(), std::vector<int>{50}) << "one pause after the receipt and its copies";
}

TEST_F(KitchenReceiptsTest, KitchenTextAndRecipe) {
  db.Exec("UPDATE system SET kueartbez = -1");
  db.Exec("INSERT INTO artikel (artnr, artbez, kueartbez, printrezept) VALUES ('C1', 'Caipi', 'Caipirinha gross', -1)");
  db.Exec("INSERT INTO zutaten (zutnr, zutbez, einheit) VALUES (1, 'Limette', 'Stk'), (2, 'Cachaca', 'l'), "
          "(3, 'Sirup', 'l')");
  db.Exec("INSERT INTO artzut (artnr, zutnr, menge) VALUES ('C1', 2, 0.05), ('C1', 3, 0.0125), ('C1', 1, 0.5)");
  Order(12, "C1", "Caipi", 1, 850);
  Run();
  ASSERT_EQ(engine.printouts.size(), 1u);
  const auto& lines = engine.printouts[0].lines;
  EXPECT_EQ(std::vector<std::string>(lines.end() - 6, lines.end()),
            (std::vector<std::string>{"1x Caipirinha gross", " ", "    Zubereitung:",
                                      "    Limette              0.5 Stk", "    Cachaca              50 ml",
                                      "    Sirup                13 ml"}));
  EXPECT_EQ(db.Scalar("SELECT artbez FROM kuebonlog"), "Caipirinha gross");
}

TEST_F(KitchenReceiptsTest, TakeAwayHeader) {
  Order(0, "A1", "Pils", 1, 400);
  Run(0);
  ASSERT_EQ(engine.printouts.size(), 1u);
  EXPECT_EQ(engine.printouts[0].lines[3], "Ausser Haus");
  EXPECT_EQ(Pending(0), 0);
}

TEST_F(KitchenReceiptsTest, ChannelsFromStationAndRoom) {
  db.Exec("INSERT INTO systemhw (filnr, kasse, kuebonport1, kuebonprt1, kuebonport3) VALUES "
          "(1, 1, 'NETZ', 'Kueche HW', 'COM7')");
  db.Exec("INSERT INTO systemhw (filnr, kasse, kuebonport1) VALUES (1, 2, 'COM9')");  // another station
  db.Exec("INSERT INTO rauminfo (starttisch, tischzahl, kuebonport) VALUES (1, 10, 'COM5'), (10, 10, 'LPT2')");
  Printer(5, "Saal", 2, 3, true);  // the room printer ignores grouping, sort and split
  db.Exec("DELETE FROM kueprtparam WHERE drucker = 3");
  Order(12, "A1", "Pils", 1, 400, 1);
  Order(12, "C1", "Tee", 1, 250, 3);
  Order(12, "B2", "Salat", 2, 700, 5, 2);
  Order(12, "B1", "Suppe", 1, 500, 5, 1);
  Run();
  ASSERT_EQ(engine.printouts.size(), 3u);
  EXPECT_EQ(engine.printouts[0].channel, "NETZKueche HW");
  // A printer without settings is reported and still printed.
  EXPECT_TRUE(db.ui().HasMessage("Keine Einstellungen für Drucker 3 gefunden."));
  EXPECT_EQ(engine.printouts[1].channel, "COM7");
  EXPECT_EQ(engine.printouts[2].channel, "LPT2");
  EXPECT_EQ(engine.printouts[2].lines[0], "Saal");
  EXPECT_EQ(Articles(engine.printouts[2]), (std::vector<std::string>{"1x Suppe", "2x Salat"}));
}

}  // namespace
}  // namespace tolven::testing
