// Requests of an order terminal against a real database: log-in, table data,
// payments as a whole or in part, customer accounts and refusals.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "common/text.h"
#include "gateway/terminal_requests.h"
#include "printing/customer_receipt.h"
#include "settlement/table_settlement.h"
#include "support/fake_print_engine.h"
#include "support/gateway_fixture.h"

namespace tolven::testing {
namespace {

class TerminalRequestTest : public ::testing::Test {
 protected:
  TerminalRequestTest()
      : ini(f.db.env(), f.db.folder()),
        printLines(ini, f.db.ui(), engine),
        receipt(f.db.tools(), printLines),
        settlement(f.db.tools(), f.form, &f.tse),
        requests(f.db.tools(), f.form, settlement, receipt) {
    f.AddArticle("10", "Cola", 300, 1, "mwst = 1");
    f.AddArticle("20", "Pizza", 850, 1, "mwst = 2");
    f.db.Exec("INSERT INTO kunden (kdnr, cardno, \"limit\", name) VALUES (7, 'K-77', 500, 'Muster')");
  }
  void Order(int table, const std::string& artnr, int menge, int price) {
    f.db.Exec("INSERT INTO bestellung (tisch, kanr, kdnr, konto, gast, artnr, artbez, artgrp, menge, epreis, opreis, "
              "rabatt, kueprt, haskuebon, mark) VALUES (" + std::to_string(table) + ", 3, 0, 0, 0, '" + artnr +
              "', 'Artikel " + artnr + "', 1, " + std::to_string(menge) + ", " + std::to_string(price) + ", " +
              std::to_string(price) + ", 0, 0, -1, 0)");
  }
  // Drops the request into terminal 1, lets the gateway answer, returns info.kas.
  std::string Ask(const std::string& request) {
    f.Drop(1, "info.txt", {request});
    requests.HandleTerminalRequest(1, f.Slot(1) + "info.txt", f.Slot(1) + "info.kas");
    EXPECT_FALSE(std::filesystem::exists(f.Slot(1) + "info.txt"));
    return ReadAll(f.Slot(1) + "info.kas");
  }

  GatewayFixture f;
  platform::IniFile ini;
  FakePrintEngine engine;
  printing::PrintLineBuffer printLines;
  printing::CustomerReceipt receipt;
  settlement::TableSettlement settlement;
  gateway::TerminalRequests requests;
};

TEST_F(TerminalRequestTest, LogInAnswersTheNameOnlyForTheRightKey) {
  // A wrong key, an unknown waiter, and no key (neither an empty one sent nor one an operator lacks) open nothing.
  f.db.Exec("INSERT INTO kassi (kanr, name, schluesselnr) VALUES (5, 'Bernd', NULL), (6, 'Carla', '')");
  for (const char* request : {"ANMELDUNG;3;4712", "ANMELDUNG;9;4711", "ANMELDUNG;5;", "ANMELDUNG;6;", "ANMELDUNG;6; ",
                              "ANMELDUNG;3;"}) {
    EXPECT_EQ(Ask(request), " \r\n") << request;
  }
}

TEST_F(TerminalRequestTest, WholeAndPartialSettlement) {
  Order(12, "10", 1, 300);
  Order(12, "20", 1, 850);
  Order(12, "10", 2, 300);
  Order(13, "20", 1, 850);  // id 4, another table
  f.db.Exec("UPDATE bestellung SET gast = 2");
  // The terminal charged for lines 1 and 4; line 4 is not on this table.
  EXPECT_EQ(Ask("ABRECHNEN;12;3;1:4"), "ERR;Positionen nicht offen auf Tisch 12.\r\n");
  // A list that names no line at all.
  EXPECT_EQ(Ask("EC;12;3;x:1"), "ERR;Teilabrechnung ohne gültige Position.\r\n");
  EXPECT_EQ(f.db.Count("bestellung", "gast <> 2"), 0) << "no line is marked by a request";
  EXPECT_EQ(Ask("ABRECHNEN;12;3;1:1"), "OK\r\n");
  EXPECT_EQ(Ask("VISA;12;3;"), "OK\r\n");
  // Asked again (a terminal that missed the answer): nothing left to settle.
  EXPECT_EQ(Ask("VISA;12;3;"), "OK\r\n");
  EXPECT_EQ(f.db.Scalar("SELECT COUNT(*) || ':' || MIN(betrag) || '/' || MIN(zahlart) || '/' || MIN(gaeste) || ':' || "
                        "MAX(betrag) || '/' || MAX(zahlart) FROM kass"),
            "2:300/BAR/1:1450/VISA");
  EXPECT_EQ(f.db.Scalar("SELECT COUNT(*) || '/' || MIN(tisch) FROM bestellung"), "1/13");
  // Each receipt was archived, then printed on terminal 1's printer.
  ASSERT_EQ(engine.printouts.size(), 4u);
  EXPECT_EQ(engine.printouts[2].channel.rfind("FILE:", 0), 0u);
  EXPECT_EQ(engine.printouts[3].channel, "NETZCOM1");
  EXPECT_NE(f.form.logText().find("Tisch 12 am PDA abgerechnet (Teilabrechnung) / BAR"), std::string::npos);
}

TEST_F(TerminalRequestTest, LinesTheKitchenHasNotHadArePrintedBeforeThePayment) {
  Order(40, "10", 1, 300);
  f.db.Exec("INSERT INTO bestellung (tisch, kanr, kdnr, gast, artnr, artbez, menge, epreis, haskuebon) VALUES "
            "(40, 3, 0, 0, '20', 'Pizza', 1, 850, 0), (40, 3, 0, 0, '$GVTGAG', 'Trinkgeld', 1, 100, 0)");
  // No kitchen printout, or one that fails and leaves the line pending: the table stays open.
  EXPECT_EQ(Ask("ABRECHNEN;40;3;"), "ERR;Küchenbon für Tisch 40 nicht gedruckt, Tisch bleibt offen.\r\n");
  std::vector<std::string> printed;
  requests.SetKitchenPrint([&](int32_t table, const std::string& waiter) {
    printed.push_back(std::to_string(table) + "/" + waiter);
  });
  EXPECT_EQ(Ask("KUKA;40;3;K-77"), "ERR;Küchenbon für Tisch 40 nicht gedruckt, Tisch bleibt offen.\r\n");
  EXPECT_EQ(f.db.Count("kass"), 0);
  // A partial payment of lines the kitchen has had needs no printout.
  EXPECT_EQ(Ask("ABRECHNEN;40;3;1"), "OK\r\n");
  EXPECT_EQ(printed, std::vector<std::string>({"40/3 - Anna"}));
  // Printed: the rest is paid. A line another station books meanwhile is
  // neither printed here nor paid unprinted.
  requests.SetKitchenPrint([&](int32_t table, const std::string& waiter) {
    printed.push_back(std::to_string(table) + "/" + waiter);
    f.db.Exec("UPDATE bestellung SET haskuebon = -1 WHERE tisch = " + std::to_string(table));
    f.db.Exec("INSERT INTO bestellung (tisch, kanr, kdnr, gast, artnr, artbez, menge, epreis, haskuebon) VALUES "
              "(40, 3, 0, 0, '10', 'Cola', 3, 300, 0)");
  });
  EXPECT_EQ(Ask("ABRECHNEN;40;3;"), "OK\r\n");
  EXPECT_EQ(f.db.Scalar("SELECT COUNT(*) || '/' || SUM(betrag) FROM kass"), "2/1250");
  EXPECT_EQ(f.db.Scalar("SELECT menge || '/' || haskuebon FROM bestellung WHERE tisch = 40"), "3/0");
}

TEST_F(TerminalRequestTest, CustomerAccountNeedsCardAndCover) {
  // Two bookings in one second: the later one (by its number) holds the balance.
  f.db.Exec("INSERT INTO kdkto (kdnr, kdktobunr, datumzeit, msecs, saldo) VALUES "
            "(7, 1, '2026-12-01 10:00:00', 20, 500), (7, 2, '2026-12-01 10:00:00', 10, -200)");
  // A customer without a card, and a generous limit.
  f.db.Exec("INSERT INTO kunden (kdnr, cardno, \"limit\", name) VALUES (8, '', 100000, 'Ohne Karte')");
  Order(20, "10", 1, 301);
  EXPECT_EQ(Ask("ZAHLUNGKK;20;3;  "), "ERR;Kein Kunde zu Kartennummer \r\n");
  EXPECT_EQ(Ask("ZAHLUNGKK;20;3;K-77"), "ERR;Keine ausreichende Deckung auf dem Kundenkonto.\r\n");
  // A balance that cannot be read is no balance of 0.
  f.db.Exec("ALTER TABLE kdkto RENAME TO kdkto_weg");
  EXPECT_EQ(Ask("KUKA;20;3;K-77"), "ERR;Tischabrechnung fehlgeschlagen.\r\n");
  EXPECT_NE(f.form.logText().find("Deckung des Kundenkontos 7 nicht lesbar"), std::string::npos);
  f.db.Exec("ALTER TABLE kdkto_weg RENAME TO kdkto");
  // After a refused account payment, cash is paid by nobody's account.
  EXPECT_EQ(Ask("ABRECHNEN;20;3;"), "OK\r\n");
  Order(21, "10", 1, 300);
  EXPECT_EQ(Ask("KUKA;21;3;K-77"), "OK\r\n");
  EXPECT_EQ(f.db.Scalar("SELECT MIN(zahlart || '/' || kdnr) || ' ' || MAX(zahlart || '/' || kdnr) FROM kass"),
            "BAR/0 KDKTO/7");
}

TEST_F(TerminalRequestTest, CashRequestFailuresAndBadRequests) {
  EXPECT_EQ(Ask("BAR;1;3"), "\r\n");
  // A settlement that fails is not answered OK, and the lines stay (with their guests).
  Order(30, "10", 1, 300);
  f.db.Exec("UPDATE bestellung SET gast = 2 WHERE tisch = 30");
  f.db.state().mwst[1] = Rate{0};
  EXPECT_EQ(Ask("ABRECHNEN;30;3;1"), "ERR;Tischabrechnung fehlgeschlagen.\r\n");
  EXPECT_EQ(f.db.Scalar("SELECT gast FROM bestellung WHERE tisch = 30"), "2");
  EXPECT_NE(f.form.logText().find("FEHLER: Tischabrechnung fehlgeschlagen. Tisch 30"), std::string::npos);
  // Field 2 is not a whole number: one ERR line, the request is gone.
  EXPECT_EQ(Ask("ABRECHNEN;;3"), "ERR;Ungültige Anfrage: Feld 2 ist keine ganze Zahl.\r\n");
  EXPECT_EQ(Ask("TISCH;12a"), "ERR;Ungültige Anfrage: Feld 2 ist keine ganze Zahl.\r\n");
}

TEST_F(TerminalRequestTest, LeftoverRequestWorkFileIsSetAside) {
  WriteAll(f.Slot(1) + "ppcinfo1", "ABRECHNEN;1;3\r\n");
  EXPECT_EQ(Ask("ANMELDUNG;3;4711"), "OKAnna\r\n");
  EXPECT_NE(f.form.logText().find("FEHLER: Unverarbeitete Arbeitsdatei"), std::string::npos);
  const auto& s = f.db.env().sleeps();
  ASSERT_GE(s.size(), 3u);
  EXPECT_EQ(std::vector<int>(s.begin(), s.begin() + 3), std::vector<int>({150, 300, 50}));
}

}  // namespace
}  // namespace tolven::testing
