// What happens to the order around the paper: log rows, monitor rows, dispenser
// files, the marker, failures that must not lose a ticket, and the signature.
#include <algorithm>

#include "kitchen_receipts_fixture.h"

namespace tolven::testing {
namespace {

TEST_F(KitchenReceiptsTest, MonitorsGetRowsAndNothingIsPrinted) {
  Order(12, "M1", "Steak", 2, 2400, 6, 1, 2, 0, "Kunde's Wunsch: medium", "Pfeffer, Kräuterbutter");
  Order(12, "M2", "Eis", 1, 500, 7, 1, 3);
  Run();
  EXPECT_TRUE(engine.printouts.empty());
  EXPECT_EQ(db.Scalar("SELECT GROUP_CONCAT(monitornr || '/' || status || '/' || tisch || '/' || gang || '/' || menge "
                      "|| '/' || insdate || '/' || txt, '|') FROM (SELECT * FROM kuemon ORDER BY monitornr)"),
            "1/0/12/2/2/2026-12-05 12:00:00/Steak\r\nKunde's Wunsch: medium\r\nPfeffer, Kräuterbutter|"
            "2/0/12/3/1/2026-12-05 12:00:00/Eis");
  EXPECT_EQ(db.Count("kuebonlog", "drucker IN (6, 7)"), 2);
  EXPECT_EQ(Pending(), 0);
}

// Nothing for the kitchen: no paper and no call number, but the order's TSE
// transaction is finished all the same (a TSE keeps only so many open).
TEST_F(KitchenReceiptsTest, GuestAndFoodRemarkLinesAloneFinishTheOrderWithoutPrinting) {
  Order(12, "$GVTGAG", "Gäste", 4, 0, 1);
  Order(12, "$GVFA", "Folgeauftrag", 1, 0, 1);
  Run();
  EXPECT_TRUE(engine.printouts.empty());
  EXPECT_EQ(db.Count("uniquenr"), 0);
  ASSERT_EQ(server.finishes.size(), 1u);
  EXPECT_EQ(server.finishes[0].trx, 100);
  EXPECT_EQ(server.finishes[0].data, "4;\"Gaeste\";0.00\r1;\"Folgeauftrag\";0.00");
  EXPECT_EQ(db.Count("tse_bestellungen"), 1);
  EXPECT_EQ(Pending(), 0) << "not signed again with the next order";
  // A transaction started for an order whose lines another station printed
  // meanwhile is finished too, with nothing in it.
  Run(12, 101);
  ASSERT_EQ(server.finishes.size(), 2u);
  EXPECT_EQ(server.finishes[1].data, "");
}

TEST_F(KitchenReceiptsTest, FailedPrinterKeepsItsLinesForTheNextOrder) {
  Order(12, "A1", "Pils", 1, 400, 1);
  Order(12, "B1", "Suppe", 2, 500, 2);
  Order(12, "G1", "Gedeck", 1, 100, 0);
  engine.FailChannel("LPT1", 1);
  Run();
  // Printer 1 printed and is done; printer 2 is out and keeps its line.
  ASSERT_EQ(engine.Delivered().size(), 1u);
  EXPECT_EQ(engine.Delivered()[0].channel, "COM1");
  EXPECT_EQ(db.Scalar("SELECT GROUP_CONCAT(artnr || '=' || haskuebon) FROM (SELECT * FROM bestellung ORDER BY artnr)"),
            "A1=-1,B1=0,G1=-1");
  ASSERT_EQ(log.Errors().size(), 1u);
  EXPECT_TRUE(log.Has("Drucker 2") && log.Errors()[0].find("LPT1") != std::string::npos) << log.Errors()[0];
  // What did not go out is neither logged nor signed now; printer 0 is only logged.
  EXPECT_EQ(db.Count("kuebonlog", "drucker = 2") + 10 * db.Count("kuebonlog", "drucker = 0"), 10);
  ASSERT_EQ(server.finishes.size(), 1u);
  EXPECT_EQ(server.finishes[0].data, "1;\"Gedeck\";1.00\r1;\"Pils\";4.00");
  EXPECT_EQ(db.Scalar("SELECT betrag FROM tse_bestellungen"), "500");

  // The next order of the table brings the kept line out once, nothing twice.
  engine.printouts.clear();
  Order(12, "A2", "Cola", 1, 300, 1);
  Run(12, 101);
  ASSERT_EQ(engine.Delivered().size(), 2u);
  EXPECT_EQ(Articles(engine.Delivered("COM1").at(0)), std::vector<std::string>{"1x Cola"});
  EXPECT_EQ(Articles(engine.Delivered("LPT1").at(0)), std::vector<std::string>{"2x Suppe"});
  EXPECT_EQ(Pending(), 0);
  EXPECT_EQ(db.Count("kuebonlog", "artnr = 'B1'"), 1);
  EXPECT_EQ(server.finishes.at(1).data, "1;\"Cola\";3.00\r2;\"Suppe\";5.00");
}

TEST_F(KitchenReceiptsTest, LinesBookedMeanwhileByAnotherStationWaitForTheirOwnPrintout) {
  Order(12, "A1", "Pils", 1, 400, 1);
  bool booked = false;
  engine.onPrint = [&](const std::string&) {
    if (booked) return;
    booked = true;
    Order(12, "A2", "Cola", 1, 300, 1);  // the POS books for the same table while printer 1 prints
  };
  Run();
  ASSERT_EQ(engine.Delivered().size(), 1u);
  EXPECT_EQ(Articles(engine.Delivered()[0]), std::vector<std::string>{"1x Pils"});
  EXPECT_EQ(db.Scalar("SELECT haskuebon FROM bestellung WHERE artnr = 'A2'"), "0") << "not marked unprinted";
  engine.onPrint = nullptr;
  Run(12, 101);
  EXPECT_EQ(Articles(engine.Delivered().back()), std::vector<std::string>{"1x Cola"});
  EXPECT_EQ(Pending(), 0);
}

TEST_F(KitchenReceiptsTest, PartlyFailingPrinter) {
  struct Case {
    const char* what;
    int grupp, kopien, failCount, okFirst;
    int64_t attempts, delivered, pending, logged;
    const char* error;
  } cases[] = {
      // One receipt per line, the second fails: the printer stops and all of its
      // lines come again (a repeated ticket is better than a lost one).
      {"second receipt", 2, 0, -1, 1, 2, 1, 3, 0, "Drucker 1"},
      // The receipt reached the kitchen; only a copy is missing.
      {"copy", 0, 2, 1, 1, 3, 2, 0, 3, "Kopie 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    db.Exec("DELETE FROM bestellung");
    db.Exec("DELETE FROM kuebonlog");
    engine.printouts.clear();
    log.lines.clear();
    Printer(1, "Kueche", c.grupp, 2, false, false, c.kopien);
    for (const char* artnr : {"A1", "A2", "A3"}) Order(12, artnr, artnr, 1, 400);
    engine.FailChannel("COM1", c.failCount, c.okFirst);
    Run();
    EXPECT_EQ(std::vector<int64_t>({static_cast<int64_t>(engine.printouts.size()),
                                    static_cast<int64_t>(engine.Delivered().size()), Pending(), db.Count("kuebonlog")}),
              std::vector<int64_t>({c.attempts, c.delivered, c.pending, c.logged}));
    ASSERT_EQ(log.Errors().size(), 1u);
    EXPECT_NE(log.Errors()[0].find(c.error), std::string::npos) << log.Errors()[0];
  }
}

TEST_F(KitchenReceiptsTest, BrokenTablesDoNotLoseTickets) {
  struct Case {
    const char* table;
    int printer;
    const char* message;
    const char* g1;  // the printer-0 line: kept too when the work table is gone
    size_t errors;
  } cases[] = {
      {"kuemon", 6, "Meldung an Küchenmonitor fehlgeschlagen.", "-1", 1},
      {"tmpkuebon", 1, "Küchenbon-Position konnte nicht angelegt werden.", "0", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.table);
    db.Exec("DELETE FROM bestellung");
    log.lines.clear();
    Order(12, "A1", "Pils", 1, 400, c.printer);
    Order(12, "G1", "Gedeck", 1, 100, 0);
    db.Exec(std::string("DROP TABLE ") + c.table);
    Run();
    EXPECT_TRUE(db.ui().HasMessage(c.message));
    EXPECT_TRUE(engine.Delivered().empty());
    EXPECT_EQ(db.Scalar("SELECT GROUP_CONCAT(haskuebon) FROM (SELECT * FROM bestellung ORDER BY artnr)"),
              std::string("0,") + c.g1);
    EXPECT_EQ(log.Errors().size(), c.errors);
  }
}

TEST_F(KitchenReceiptsTest, SignedOrderRow) {
  db.state().kaName = "Anna-Lena Müller-Lüdenscheidt von Hohenstein";  // longer than the column
  Order(12, "A1", "Bräu \"Spezial\"; 0,5l", 2, 390, 1);
  Order(12, "A2", "Käse/Brot & Öl", -1, 1250, 0);
  Run(12, 4711, 1765000000);
  ASSERT_EQ(server.finishes.size(), 1u);
  EXPECT_EQ(std::to_string(server.finishes[0].trx) + " " + server.finishes[0].type, "4711 Bestellung-V1");
  const std::string data = "-1;\"KaeseBrot  Oel\";12.50\r2;\"Braeu Spezial, 0,5l\";3.90";
  EXPECT_EQ(server.finishes[0].data, data);
  EXPECT_EQ(kb.orderAmount(), -470);
  EXPECT_EQ(db.Scalar("SELECT seqnr FROM tse_bestellungen"), db.Scalar("SELECT MAX(seqnr) FROM kuebonlog"));
  EXPECT_EQ(db.Scalar("SELECT datumzeit || '|' || kanr || '|' || TRIM(kaname) || '|' || kasse || '|' || betrag || "
                      "'|' || tse_trx || '|' || tse_sigcount || '|' || tse_start || '|' || tse_stop || '|' || "
                      "tse_sernr || '|' || tse_processtype || '|' || tse_signatur FROM tse_bestellungen"),
            "2026-12-05 12:00:00|7|Anna-Lena Müller-Lüdenscheidt|1|-470|4711|500|1765000000|1765000001|SERIAL-1|"
            "Bestellung-V1|SIG500");  // the name cut to 30 characters
  EXPECT_EQ(db.Scalar("SELECT tse_processdata FROM tse_bestellungen"), data);
  EXPECT_EQ(db.Count("tse_bestellungen"), 1);
}

TEST_F(KitchenReceiptsTest, SigningConditions) {
  struct Case {
    const char* what;
    bool inUse, ready, serverSigns;
    int32_t trx;
    int64_t finishes, rows, syslogT, trxAfter, startAfter;
  } cases[] = {
      {"signed", true, true, true, 9, 1, 1, 0, 9, 55},     {"no transaction", true, true, true, 0, 0, 0, 1, 0, 0},
      {"failed start", true, true, true, -1, 0, 0, 1, 0, 0}, {"not ready", true, false, true, 9, 0, 0, 0, 9, 55},
      {"not in use", false, true, true, 9, 0, 0, 0, 9, 55}, {"no signature", true, true, false, 9, 1, 0, 0, 9, 55},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    db.Exec("DELETE FROM tse_bestellungen; DELETE FROM syslog");
    server.finishes.clear();
    db.state().tseInUse = c.inUse;
    tse.SetReady(c.ready);
    server.emptySignature = !c.serverSigns;
    Order(12, "A1", "Pils", 1, 400, 0);
    Run(12, c.trx, 55);
    const int64_t syslogT = db.Count("syslog", "typ = 'T' AND txt = 'Keine TSE-Transaktion für Bestellung.' AND "
                                               "memotext = '1;\"Pils\";4.00'");
    EXPECT_EQ(std::vector<int64_t>({static_cast<int64_t>(server.finishes.size()), db.Count("tse_bestellungen"),
                                    syslogT, trx_, start_}),
              std::vector<int64_t>({c.finishes, c.rows, c.syslogT, c.trxAfter, c.startAfter}));
  }
}

TEST_F(KitchenReceiptsTest, DispenserFilesOnlyForTicketsThatWentOut) {
  db.Exec("INSERT INTO systemhw (filnr, kasse, kuebonport1, kuebonport2, comschankanl) VALUES "
          "(1, 1, 'COM1', 'LPT1', 1)");
  db.Exec("INSERT INTO artikel (artnr, artbez, schankanlcode) VALUES ('P1', 'Pils', 'B07'), ('W1', 'Wein', 'W3'), "
          "('S1', 'Suppe', ''), ('C1', 'Cola', 'C5')");
  Order(12, "P1", "Pils", 2, 400, 1);
  for (const char* artnr : {"S1", "W1"}) Order(12, artnr, artnr, 1, 500, 1);
  Order(12, "C1", "Cola", 1, 300, 2);
  engine.FailChannel("LPT1", 1);
  auto dispenserFiles = [&] {
    std::vector<std::string> out;  // number part of the name : contents
    for (const auto& n : db.env().ListFiles(db.folder()))
      if (StartsWith(n, "SCHANK") && EndsWith(n, ".TXT"))
        out.push_back(n.substr(6, 7) + ":" + ReadAll(db.folder() + "/" + n));
    std::sort(out.begin(), out.end());
    return out;
  };
  Run();
  // Both orders fall into the same hundredth of a second: the second name moves on.
  // The cola's printer was out, so the dispenser does not pour it yet.
  EXPECT_EQ(dispenserFiles(), (std::vector<std::string>{"4320005:01002B07\r\n", "4320006:01001W3\r\n"}));

  Run(12, 101);
  ASSERT_EQ(dispenserFiles().size(), 3u);
  EXPECT_EQ(dispenserFiles().back().substr(8), "01001C5\r\n");
  EXPECT_EQ(Pending(), 0);
}

}  // namespace
}  // namespace tolven::testing
