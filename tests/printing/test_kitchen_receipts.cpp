// Kitchen receipts on a real SQLite database, the print engine and the TSE
// server recording fakes: what the kitchen gets on paper, and what happens to
// the order around it (log and monitor rows, dispenser files, the marker,
// failures that must not lose a ticket, the signature).
#include <algorithm>
#include <cctype>

#include "fiscal/tse.h"
#include "print_engine_fixture.h"
#include "printing/kitchen_receipts.h"
#include "support/scripted_tse.h"
#include "support/test_db.h"

namespace tolven::testing {
namespace {

class KitchenReceiptsTest : public ::testing::Test {
 protected:
  KitchenReceiptsTest() {
    db.state().kaNr = 7;
    db.state().kaName = "Anna";
    db.Exec(
        "UPDATE system SET kuebonport1 = 'COM1', kuebonport2 = 'LPT1', kuebonport3 = 'COM3', "
        "kuebonport4 = 'COM4', kuebongross = 0, kuebonpreis = 0, kuebonartnr = 0, kuebongast = 0, "
        "kueartbez = 0, bonvor = 0, bonshowtischname = 0, kuebonkellner = 0, kuebonkunde = 0");
    for (int p = 1; p <= 4; ++p) Printer(p, "Drucker" + std::to_string(p), 0, 2);
  }

  void Printer(int p, const std::string& name, int grupp, int sort, bool split = false, bool summer = false,
               int kopien = 0, bool vorlauf = false) {
    auto flag = [](bool b) { return b ? "-1, " : "0, "; };
    db.Exec("DELETE FROM kueprtparam WHERE drucker = " + std::to_string(p));
    db.Exec("INSERT INTO kueprtparam (drucker, name, bonvorlauf, grupp, sort, split, kuesummer, kopien) VALUES (" +
            std::to_string(p) + ", " + db::SqlText(name) + ", " + flag(vorlauf) + std::to_string(grupp) + ", " +
            std::to_string(sort) + ", " + flag(split) + flag(summer) + std::to_string(kopien) + ")");
  }

  // One pending order line.
  void Order(int table, const std::string& artnr, const std::string& artbez, int menge, int epreis, int kueprt = 1,
             int artgrp = 1, int gang = 0, int gast = 0, const std::string& kueinfo = "",
             const std::string& belaginfo = "") {
    auto n = [](int v) { return std::to_string(v) + ", "; };
    db.Exec(
        "INSERT INTO bestellung (tisch, kanr, kdnr, konto, gast, artnr, artbez, artgrp, menge, epreis, opreis, "
        "rabatt, kueprt, haskuebon, mark, kueinfo, belaginfo, gang) VALUES (" +
        n(table) + "7, 0, 0, " + n(gast) + db::SqlText(artnr) + ", " + db::SqlText(artbez) + ", " + n(artgrp) +
        n(menge) + n(epreis) + n(epreis) + "0, " + n(kueprt) + "0, 0, " + db::SqlText(kueinfo) + ", " +
        db::SqlText(belaginfo) + ", " + std::to_string(gang) + ")");
  }

  void Run(int table = 12, int32_t trx = 100, int32_t start = 1765000000) {
    kb.PrintKueBon(trx, start, table, "7 - Anna");
  }

  // The article lines of a printout in normal size ("2x Cola"), separated by "|".
  static std::string Articles(const FakePrintEngine::Printout& p) {
    std::string out;
    for (const auto& l : p.lines)
      if (l.find("x ") != std::string::npos && (std::isdigit(static_cast<unsigned char>(l[0])) || l[0] == '-'))
        out += (out.empty() ? "" : "|") + l;
    return out;
  }

  TestDb db;
  platform::IniFile ini{db.env(), db.folder()};
  FakePrintEngine engine;
  printing::PrintLineBuffer printLines{ini, db.ui(), engine};
  ScriptedTseServer server;
  fiscal::Tse tse{db.tools(), server, fiscal::TseIdentity()};
  RecordingLog log;
  printing::KitchenReceipts kb{db.tools(), printLines, tse, log};
};

TEST_F(KitchenReceiptsTest, WholeReceiptsInNormalAndDoubleSize) {
  db.Exec(
      "UPDATE system SET kuebonartnr = 1, kuebonpreis = 1, kuebongast = 1, kuebonkellner = 1, "
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
  EXPECT_EQ(Joined(p.lines),
            ".|.|.|.|.|Kueche|Nr.1/1| |Tisch  12 Fenster|----------------------|05.12.26  12:00| |Kellner: 7 - Anna| |"
            "Kunde  : Meier| |2x Schnitzel Wiener Art mit Pom|    mes frites|>>> ohne Salz <<<|  >Zwiebeln|  >Speck|"
            " Gast 1|      ( A1 / 2x 12.50 )|1x Cola| Gast 2|      ( A2 / 3.50 )| | |" +
                Bytes({27, 112, 0, 255, 255}));

  const std::string DH = "\x1B!\x10", AUS = std::string("\x1B!", 2) + '\0', DHB = "\x1B!0", DB = "\x1B! ";
  db.Exec("DELETE FROM bestellung");
  db.Exec(
      "UPDATE system SET kuebongross = -1, kuebonartnr = 2, kuebonpreis = 2, kuebongast = 2, "
      "kuebonkellner = 2, kuebonkunde = 2, bonvor = 0, bonshowtischname = 0");
  Printer(1, "Drucker1", 0, 2);
  Order(12, "A1", "Schnitzel Wiener Art mit Pommes frites", 1, 1250, 1, 1, 2, 3, "durch", "Pilze");
  db.Exec("UPDATE bestellung SET kdnr = 5");
  Run(12, 101);
  EXPECT_EQ(Joined(engine.printouts.at(1).lines),
            DH + "Drucker1" + AUS + "|Nr.2/2| |" + DH + "Tisch " + AUS + DHB + " 12" + AUS + " |" +
                "----------------------|05.12.26  " + DB + "12:00" + AUS + "| |" + DH + "Kellner: 7 - Anna" + AUS +
                "| |" + DH + "Kunde  : Meier" + AUS + "| | |" + DB + " --- 2. Gang ---" + AUS + "| |" + DHB + "1" +
                AUS + DH + "x " + AUS + DHB + "Schnitzel Wiener" + AUS + "|" + DHB + "    Art mit Pommes fr" + AUS +
                "|" + DHB + "    ites" + AUS + "|" + DH + ">>> durch <<<" + AUS + "|" + DHB + "  >Pilze" + AUS + "|" +
                DH + " Gast 3" + AUS + "|      ( " + DH + "A1" + AUS + " / " + DH + "12.50" + AUS + " )");
}

// One order for every kind of printer: station and room channels, split and
// copies, the kitchen text with its recipe, a monitor, the dispenser, a printer
// without settings, one that is only logged, and one that is out: its line
// stays for the next order, nothing is printed twice.
TEST_F(KitchenReceiptsTest, OneOrderForEveryKindOfPrinterAndAPrinterThatIsOut) {
  db.Exec("UPDATE system SET bonvor = 1, kueartbez = -1");
  db.Exec(
      "INSERT INTO systemhw (filnr, kasse, kuebonport1, kuebonprt1, kuebonport2, kuebonport3, comschankanl) "
      "VALUES (1, 1, 'NETZ', 'Kueche HW', 'LPT1', 'COM7', 1), (1, 2, 'COM9', '', '', '', 0)");
  db.Exec("INSERT INTO rauminfo (starttisch, tischzahl, kuebonport) VALUES (1, 10, 'COM5'), (10, 10, 'LPT2')");
  db.Exec(
      "INSERT INTO artikel (artnr, artbez, kueartbez, printrezept, schankanlcode) VALUES "
      "('C1', 'Caipi', 'Caipirinha gross', -1, ''), ('P1', 'Pils', '', 0, 'B07'), ('W1', 'Wein', '', 0, 'W3')");
  db.Exec("INSERT INTO zutaten (zutnr, zutbez, einheit) VALUES (1, 'Limette', 'Stk'), (2, 'Cachaca', 'l')");
  db.Exec("INSERT INTO artzut (artnr, zutnr, menge) VALUES ('C1', 2, 0.0125), ('C1', 1, 0.5)");
  Printer(1, "Kueche", 1, 1, true, true, 1);  // a receipt per article group
  Printer(5, "Saal", 2, 3, true);             // the room printer ignores grouping, sort and split
  db.Exec("DELETE FROM kueprtparam WHERE drucker = 3");
  Order(12, "P1", "Pils", 2, 400, 1);
  Order(12, "A2", "Wasser", -1, 200, 1);
  Order(12, "C1", "Caipi", 1, 850, 1, 2);
  Order(12, "W1", "Wein", 1, 500, 2);
  Order(12, "T1", "Tee", 1, 250, 3);
  Order(12, "B2", "Salat", 2, 700, 5, 2);
  Order(12, "B1", "Suppe", 1, 500, 5, 1);
  Order(12, "M1", "Steak", 2, 2400, 6, 1, 2, 0, "Kunde's Wunsch: medium", "Pfeffer");
  Order(12, "G1", "Gedeck", 1, 100, 0);
  engine.FailChannel("LPT1", 1);
  Run();
  EXPECT_TRUE(db.ui().HasMessage("Keine Einstellungen für Drucker 3 gefunden."));  // and still printed
  std::string channels;
  for (const auto& p : engine.printouts) channels += p.channel + (p.failed ? "(failed) " : " ");
  EXPECT_EQ(channels, "NETZKueche HW NETZKueche HW NETZKueche HW NETZKueche HW LPT1(failed) COM7 LPT2 ");
  EXPECT_EQ(engine.printouts[0].lines, engine.printouts[1].lines);
  const auto& lines = engine.printouts[2].lines;  // the second article group's receipt
  EXPECT_EQ(
      Joined(std::vector<std::string>(lines.begin() + 7, lines.end())),
      "1x Caipirinha gross| |    Zubereitung:|    Limette              0.5 Stk|    Cachaca              13 ml| |" +
          Bytes({27, 112, 0, 255, 255}));
  EXPECT_EQ(Articles(engine.printouts[0]) + "#" + Articles(engine.printouts[6]),
            "-1x Wasser|1x Pils|1x Pils#1x Suppe|2x Salat");
  EXPECT_EQ(db.env().sleeps(), std::vector<int>(5, 50)) << "one pause after each receipt and its copy";
  EXPECT_EQ(db.Scalar("SELECT GROUP_CONCAT(artnr || '=' || haskuebon) FROM (SELECT * FROM bestellung ORDER BY artnr)"),
            "A2=-1,B1=-1,B2=-1,C1=-1,G1=-1,M1=-1,P1=-1,T1=-1,W1=0");
  EXPECT_EQ(db.Scalar("SELECT GROUP_CONCAT(artnr || ':' || artbez || ':' || menge, ' ') FROM "
                      "(SELECT * FROM kuebonlog ORDER BY artnr, menge)"),
            "A2:Wasser:-1 B1:Suppe:1 B2:Salat:2 C1:Caipirinha gross:1 G1:Gedeck:1 M1:Steak:2 P1:Pils:1 P1:Pils:1 "
            "T1:Tee:1");
  EXPECT_EQ(db.Scalar("SELECT monitornr || '/' || status || '/' || tisch || '/' || gang || '/' || menge || '/' || "
                      "insdate || '/' || txt FROM kuemon"),
            "1/0/12/2/2/2026-12-05 12:00:00/Steak\r\nKunde's Wunsch: medium\r\nPfeffer");
  EXPECT_EQ(Joined(log.Errors()),
            "FEHLER: K\374chenbon Drucker 2, Tisch 12 nicht ausgegeben (Ausdruck auf >LPT1< fehlgeschlagen: Fehler bei "
            "Druck auf LPT1). Die Positionen bleiben offen und kommen mit der n\344chsten Bestellung des Tisches.");
  // What did not go out is neither signed nor poured now.
  ASSERT_EQ(server.finishes.size(), 1u);
  EXPECT_EQ(server.finishes[0].data,
            "1;\"Gedeck\";1.00\r-1;\"Wasser\";2.00\r1;\"Pils\";4.00\r1;\"Pils\";4.00\r1;\"Caipirinha gross\";8.50\r"
            "1;\"Tee\";2.50\r1;\"Suppe\";5.00\r2;\"Salat\";7.00\r2;\"Steak\";24.00");
  auto dispenserFiles = [&] {
    std::vector<std::string> out;  // number part of the name : contents
    for (const auto& n : db.env().ListFiles(db.folder()))
      if (StartsWith(n, "SCHANK") && EndsWith(n, ".TXT"))
        out.push_back(n.substr(6, 7) + ":" + ReadAll(db.folder() + "/" + n));
    std::sort(out.begin(), out.end());
    return Joined(out);
  };
  EXPECT_EQ(dispenserFiles(), "4320010:01001B07\r\n|4320011:01001B07\r\n");  // split, and the name moves on

  // The next order of the table brings the kept line out once, nothing twice; a
  // line booked meanwhile by another station waits for its own printout.
  engine.printouts.clear();
  Order(12, "A3", "Cola", 1, 300, 1);
  engine.onPrint = [&](const std::string&) {
    if (db.Count("bestellung", "artnr = 'A4'") == 0) Order(12, "A4", "Bier", 1, 600, 1);
  };
  Run(12, 101);
  EXPECT_EQ(Articles(engine.Delivered("NETZKueche HW").at(0)) + "|" + Articles(engine.Delivered("LPT1").at(0)),
            "1x Cola|1x Wein");
  EXPECT_EQ(db.Count("kuebonlog", "artnr = 'W1'"), 1);
  EXPECT_EQ(server.finishes.at(1).data, "1;\"Cola\";3.00\r1;\"Wein\";5.00");
  EXPECT_EQ(db.Scalar("SELECT GROUP_CONCAT(artnr) FROM bestellung WHERE haskuebon = 0"), "A4");
  EXPECT_EQ(dispenserFiles(), "4320010:01001B07\r\n|4320011:01001B07\r\n|4320035:01001W3\r\n");
}

TEST_F(KitchenReceiptsTest, SignedOrderRow) {
  db.state().kaName = "Anna-Lena Müller-Lüdenscheidt von Hohenstein";  // longer than the column
  Order(12, "A1", "Bräu \"Spezial\"; 0,5l", 2, 390, 1);
  Order(12, "A2", "Käse/Brot & Öl ´’\r\n", -1, 1250, 0);
  Run(12, 4711, 1765000000);
  ASSERT_EQ(server.finishes.size(), 1u);
  EXPECT_EQ(std::to_string(server.finishes[0].trx) + " " + server.finishes[0].type, "4711 Bestellung-V1");
  const std::string data = "-1;\"KaeseBrot  Oel <CRLF>\";12.50\r2;\"Braeu Spezial, 0,5l\";3.90";
  EXPECT_EQ(server.finishes[0].data, data);
  EXPECT_EQ(db.Scalar("SELECT seqnr FROM tse_bestellungen"), db.Scalar("SELECT MAX(seqnr) FROM kuebonlog"));
  EXPECT_EQ(db.Scalar("SELECT datumzeit || '|' || kanr || '|' || TRIM(kaname) || '|' || kasse || '|' || betrag || "
                      "'|' || tse_trx || '|' || tse_sigcount || '|' || tse_start || '|' || tse_stop || '|' || "
                      "tse_sernr || '|' || tse_processtype || '|' || tse_signatur || '|' || tse_processdata "
                      "FROM tse_bestellungen"),
            "2026-12-05 12:00:00|7|Anna-Lena Müller-Lüdenscheidt|1|-470|4711|500|1765000000|1765000001|SERIAL-1|"
            "Bestellung-V1|SIG500|" +
                data);  // the name cut to 30 characters
}

}  // namespace
}  // namespace tolven::testing
