// Requests of an order terminal against a real database: log-in, table data,
// payments as a whole or in part, customer accounts and refusals; and what a
// start finds of an interrupted run. Printers and archive go to a recording
// print engine, the TSE server is scripted.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "common/text.h"
#include "gateway/crash_recovery.h"
#include "gateway/kitchen_printing.h"
#include "gateway/terminal_requests.h"
#include "printing/customer_receipt.h"
#include "printing/kitchen_receipts.h"
#include "settlement/table_settlement.h"
#include "support/fake_print_engine.h"
#include "support/gateway_fixture.h"

namespace tolven::testing {
namespace {

class TerminalRequestTest : public ::testing::Test {
 protected:
  TerminalRequestTest()
      : ini(f.db.env(), f.db.folder()),
        printLines{ini, f.db.ui(), engine},
        receipt(f.db.tools(), printLines),
        settlement(f.db.tools(), f.log, &f.tse, {}, observed),
        kitchenReceipts(f.db.tools(), printLines, f.tse, f.log),
        kitchenPrinting(f.db.tools(), f.tse, kitchenReceipts, holds, f.log),
        requests(f.db.tools(), f.exchange, f.log, settlement, receipt, holds, &kitchen, {}, observed),
        recovery(f.db.tools(), kitchenPrinting, receipt, f.log) {
    f.AddArticle("10", "Cola", 300, 1, "mwst = 1");
    f.AddArticle("20", "Pizza", 850, 1, "mwst = 2");
    f.db.Exec("INSERT INTO kunden (kdnr, cardno, \"limit\", name) VALUES (7, 'K-77', 500, 'Muster')");
    f.db.Exec("UPDATE system SET kuebonport1 = 'COM3', kuebongross = 0, kuebonkellner = 1");
    f.db.Exec("INSERT INTO kueprtparam (drucker, name, grupp, sort) VALUES (1, 'Küche', 0, 2)");
  }
  // An order row for kitchen printer 1; `printed`: the kitchen has had it.
  void Order(int table, const std::string& artnr, int menge, int price, bool printed = true,
             const std::string& artbez = "") {
    const std::string n = std::to_string(menge), p = std::to_string(price);
    f.db.Exec(
        "INSERT INTO bestellung (tisch, kanr, kdnr, konto, gast, artnr, artbez, artgrp, menge, epreis, opreis, "
        "rabatt, kueprt, haskuebon, mark) VALUES (" +
        std::to_string(table) + ", 3, 0, 0, 0, " + db::SqlText(artnr) + ", " +
        db::SqlText(artbez.empty() ? "Artikel " + artnr : artbez) + ", 1, " + n + ", " + p + ", " + p + ", 0, 1, " +
        (printed ? "-1" : "0") + ", 0)");
  }
  // Drops the request into terminal 1, lets the gateway answer, returns info.kas.
  std::string Ask(const std::string& request) {
    f.Drop(1, "info.txt", {request});
    requests.HandleTerminalRequest(1, f.Slot(1) + "info.txt", f.Slot(1) + "info.kas");
    EXPECT_FALSE(std::filesystem::exists(f.Slot(1) + "info.txt"));
    return ReadAll(f.Slot(1) + "info.kas");
  }

  // What the settlement and the requests report: receipts stored by kind of
  // payment, and the kinds of the requests read.
  struct Observed final : Observer {
    std::map<PaymentKind, int> stored;
    std::string requests;
    void SettlementStored(int32_t, PaymentKind kind) override { ++stored[kind]; }
    void RequestRead(int, RequestKind kind) override { requests += "LTCKU"[static_cast<int>(kind)]; }
  };

  // The kitchen a payment asks for lines it has not had: `pending` plays it.
  struct Kitchen final : gateway::OrderKitchen {
    std::function<void(int32_t table, const std::string& waiter)> pending;
    int64_t NewestLine() override { return -1; }
    std::string ClaimBooked(int32_t, int64_t) override { return ""; }
    void PrintOrder(const std::optional<fiscal::TseStart>&, int32_t, const std::string&, const std::string&) override {}
    void PrintPending(int32_t table, const std::string& waiter) override {
      if (pending) pending(table, waiter);
    }
  };

  GatewayFixture f;
  Observed observed;
  platform::IniFile ini;
  FakePrintEngine engine;
  printing::PrintServices printLines;
  printing::CustomerReceipt receipt;
  settlement::TableSettlement settlement;
  loop::Holds holds{f.loop, loop::Holds::Rank::Table};
  Kitchen kitchen;
  printing::KitchenReceipts kitchenReceipts;
  gateway::KitchenPrinting kitchenPrinting;
  gateway::TerminalRequests requests;
  gateway::CrashRecovery recovery;
};

// Whole and partial payments; lines the kitchen has not had are printed
// before the payment; answers and refusals that settle nothing.
TEST_F(TerminalRequestTest, SettlementsAnswersAndRefusals) {
  // A work file an interrupted run left (nothing settled for it) is answered
  // first, also when the terminal's next request is already there.
  WriteAll(f.Slot(1) + "ppcinfo1", "ABRECHNEN;1;3\r\n");
  f.Drop(1, "info.txt", {"ANMELDUNG;3;4711"});
  requests.HandleTerminalRequest(1, "", f.Slot(1) + "info.kas");
  EXPECT_EQ(ReadAll(f.Slot(1) + "info.kas"), "ERR;Tisch 1 hat keine offenen Positionen.\r\n");
  EXPECT_EQ(Ask("ANMELDUNG;3;4711"), "OKAnna\r\n");
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
  // Answered, then sent again: a new payment; with no line left, no kind of payment is "OK".
  for (const char* again : {"VISA;12;3;", "ABRECHNEN;12;3;", "EC;12;3;2:3", "ZAHLUNGKK;12;3;K-77"}) {
    EXPECT_EQ(Ask(again), "ERR;Tisch 12 hat keine offenen Positionen.\r\n") << again;
  }
  EXPECT_EQ(f.db.Scalar("SELECT COUNT(*) || ':' || MIN(betrag) || '/' || MIN(zahlart) || '/' || MIN(gaeste) || ':' || "
                        "MAX(betrag) || '/' || MAX(zahlart) FROM kass"),
            "2:300/BAR/1:1450/VISA");
  EXPECT_EQ(f.db.Scalar("SELECT COUNT(*) || '/' || MIN(tisch) FROM bestellung"), "1/13");
  // The receipt printed on terminal 1's printer (its archive copy before).
  ASSERT_EQ(engine.printouts.size(), 4u);
  EXPECT_EQ(engine.printouts[3].channel, "NETZCOM1");
  EXPECT_NE(f.log.text().find("Tisch 12 am PDA abgerechnet (Teilabrechnung) / BAR"), std::string::npos);
  Order(40, "10", 1, 300);
  Order(40, "20", 1, 850, false);
  Order(40, "$GVTGAG", 1, 100, false);
  // No kitchen printout, or one that fails and leaves the line pending: the table stays open.
  EXPECT_EQ(Ask("ABRECHNEN;40;3;"), "ERR;Küchenbon für Tisch 40 nicht gedruckt, Tisch bleibt offen.\r\n");
  std::vector<std::string> printed;
  kitchen.pending = [&](int32_t table, const std::string& waiter) {
    printed.push_back(std::to_string(table) + "/" + waiter);
  };
  EXPECT_EQ(Ask("ABRECHNEN;40;3;"), "ERR;Küchenbon für Tisch 40 nicht gedruckt, Tisch bleibt offen.\r\n");
  // A partial payment of lines the kitchen has had needs no printout.
  EXPECT_EQ(Ask("ABRECHNEN;40;3;5"), "OK\r\n");
  EXPECT_EQ(printed, std::vector<std::string>({"40/3 - Anna"}));
  // Printed: the rest is paid. A line another station books meanwhile is
  // neither printed here nor paid unprinted.
  kitchen.pending = [&](int32_t table, const std::string&) {
    f.db.Exec("UPDATE bestellung SET haskuebon = -1 WHERE tisch = " + std::to_string(table));
    Order(40, "10", 3, 300, false);
  };
  EXPECT_EQ(Ask("ABRECHNEN;40;3;"), "OK\r\n");
  EXPECT_EQ(f.db.Scalar("SELECT COUNT(*) || '/' || SUM(betrag) FROM kass WHERE tisch = 40"), "2/1250");
  EXPECT_EQ(f.db.Scalar("SELECT menge || '/' || haskuebon FROM bestellung WHERE tisch = 40"), "3/0");
  // A stored payment whose answer was lost (as in a crash before it was
  // written) keeps its work file; found again, it gets the stored answer and
  // nothing is settled again. Once answered, the same request is a new payment.
  Order(30, "10", 1, 300);
  f.db.env().FailOperation("write", "info.kas", 5);
  f.Drop(1, "info.txt", {"EC;30;3;"});
  requests.HandleTerminalRequest(1, "", f.Slot(1) + "info.kas");
  f.db.env().ClearFaults();
  requests.HandleTerminalRequest(1, "", f.Slot(1) + "info.kas");
  EXPECT_EQ(ReadAll(f.Slot(1) + "info.kas") + std::to_string(std::filesystem::exists(f.Slot(1) + "ppcinfo1")),
            "OK\r\n0");
  EXPECT_EQ(Ask("EC;30;3;"), "ERR;Tisch 30 hat keine offenen Positionen.\r\n");
  EXPECT_EQ(f.db.Count("kass", "tisch = 30"), 1);
  f.db.Exec("INSERT INTO kassi (kanr, name, schluesselnr) VALUES (5, 'Bernd', NULL), (6, 'Carla', '')");
  // Two bookings in one second: the later one (by its number) holds the balance.
  f.db.Exec(
      "INSERT INTO kdkto (kdnr, kdktobunr, datumzeit, msecs, saldo) VALUES "
      "(7, 1, '2026-12-01 10:00:00', 20, 500), (7, 2, '2026-12-01 10:00:00', 10, -200)");
  Order(20, "10", 1, 301);
  // A wrong key, an unknown waiter, and no key (neither an empty one sent nor
  // one an operator lacks) open nothing.
  for (const char* request :
       {"ANMELDUNG;3;4712", "ANMELDUNG;9;4711", "ANMELDUNG;5;", "ANMELDUNG;6;", "ANMELDUNG;6; ", "ANMELDUNG;3;"}) {
    EXPECT_EQ(Ask(request), " \r\n") << request;
  }
  const std::pair<const char*, const char*> cases[] = {
      {"BAR;1;3", "\r\n"},
      {"ABRECHNEN;;3", "ERR;Ungültige Anfrage: Feld 2 ist keine ganze Zahl.\r\n"},
      {"TISCH;12a", "ERR;Ungültige Anfrage: Feld 2 ist keine ganze Zahl.\r\n"},
      {"ZAHLUNGKK;20;3;K-77", "ERR;Keine ausreichende Deckung auf dem Kundenkonto.\r\n"},
  };
  for (const auto& [request, answer] : cases) EXPECT_EQ(Ask(request), answer) << request;
  // A balance that cannot be read is no balance of 0.
  f.db.Exec("ALTER TABLE kdkto RENAME TO kdkto_weg");
  EXPECT_EQ(Ask("KUKA;20;3;K-77"), "ERR;Tischabrechnung fehlgeschlagen.\r\n");
  EXPECT_NE(f.log.text().find("Deckung des Kundenkontos 7 nicht lesbar"), std::string::npos);
  // A settlement that fails is not answered OK, and the lines stay (with their guests).
  f.db.Exec("UPDATE bestellung SET gast = 2");
  f.db.state().mwst[1] = Rate{0};
  EXPECT_EQ(Ask("ABRECHNEN;20;3;" + f.db.Scalar("SELECT id FROM bestellung WHERE tisch = 20")),
            "ERR;Tischabrechnung fehlgeschlagen.\r\n");
  EXPECT_EQ(f.db.Scalar("SELECT gast FROM bestellung WHERE tisch = 20"), "2");
  EXPECT_EQ(f.db.Count("kass", "tisch = 20"), 0);
  // Every receipt reported, with how it was paid; every request read, with its kind.
  int stored = 0;
  for (const auto& [kind, n] : observed.stored) {
    stored += n;
    EXPECT_EQ(n, f.db.Count("kass", std::string("zahlart ") + (kind == PaymentKind::Cash   ? "= 'BAR'"
                                                               : kind == PaymentKind::Card ? "IN ('VISA', 'EC')"
                                                                                           : "= 'KDKTO'")));
  }
  EXPECT_EQ(stored, f.db.Count("kass"));
  EXPECT_EQ(observed.requests.substr(0, 6), "CLCKCK");
}

// At a start, the lines that never reached the kitchen are printed and their
// order signed, once.
TEST_F(TerminalRequestTest, RestartPrintsLinesThatNeverReachedTheKitchenAndSignsTheirOrderOnce) {
  Order(12, "10", 1, 250, false, "Kaffee");
  Order(12, "11", 1, 250, false, "Kuchen");
  Order(14, "20", 1, 250, false, "Suppe");
  Order(14, "21", 1, 250, true, "Brot");
  Order(20, "$GVTGAG", 1, 250, false, "Trinkgeld");  // nothing for the kitchen
  // Only this station's rows with the TSE server are removed.
  for (const char* kasse : {"1", "2"}) {
    f.db.Exec(std::string("INSERT INTO tse_server_req (status, kasse, merker, typ) VALUES (0, ") + kasse +
              ", 4711, 'S')");
    f.db.Exec(std::string("INSERT INTO tse_server_ans (kasse, merker, tse_trxnr) VALUES (") + kasse + ", 4711, 9)");
  }
  // The database steps at once; the printouts are jobs beside the terminals.
  recovery.Run(&f.loop);
  EXPECT_EQ(f.db.Count("tse_server_req", "kasse = 1") + f.db.Count("tse_server_ans", "kasse = 1"), 0);
  EXPECT_EQ(f.db.Count("tse_server_req", "kasse = 2") + f.db.Count("tse_server_ans", "kasse = 2"), 2);
  EXPECT_EQ(f.loop.jobCount(), 2u);
  f.loop.RunUntilIdle();
  const auto slips = engine.Delivered("COM3");
  ASSERT_EQ(slips.size(), 2u);
  // The waiter of the order, not an empty one; a line the kitchen has is not printed again.
  EXPECT_THAT(slips[0].lines, ::testing::Contains(::testing::HasSubstr("1x Kaffee")));
  EXPECT_THAT(slips[0].lines, ::testing::Contains(::testing::HasSubstr("Kellner: 3 - Anna")));
  EXPECT_THAT(slips[1].lines, ::testing::Not(::testing::Contains(::testing::HasSubstr("Brot"))));
  // One fresh transaction per table, each finished as an order; the tip-only table starts none.
  EXPECT_EQ(f.tseServer.calls,
            std::vector<std::string>({"S", "F:100:Bestellung-V1:1;\"Kaffee\";2.50\r1;\"Kuchen\";2.50", "S",
                                      "F:101:Bestellung-V1:1;\"Suppe\";2.50"}));
  // A second start finds nothing left to do.
  engine.printouts.clear();
  f.tseServer.calls.clear();
  recovery.Run();
  EXPECT_TRUE(engine.printouts.empty());
  EXPECT_TRUE(f.tseServer.calls.empty());
}

// A receipt stored but never archived (interrupted before its printout) is
// printed once, as a copy with the time of the sale; the first start sets the
// mark to the newest receipt and leaves the history alone.
TEST_F(TerminalRequestTest, RestartPrintsAReceiptLeftWithoutArchiveOnceAsCopyOfTheSale) {
  f.db.Exec("UPDATE system SET bonshowzeit = -1, bondruckport = 'COM2'");
  engine.onPrint = [](const std::string& channel) {
    if (StartsWith(channel, "FILE:")) WriteAll(channel.substr(5), "archiv\r\n");
  };
  auto stored = [&](const std::string& bunrKasse) {
    f.db.Exec("INSERT INTO kass (bunr, kasse, tisch, kanr, zahlart, betrag, datumzeit, tse_signatur) VALUES (" +
              bunrKasse + ", 12, 3, 'BAR', 250, '2026-12-05 11:58:07', 'SIG')");
  };
  stored("3, 1");
  EXPECT_TRUE(recovery.CheckReceipts());
  stored("4, 1");
  stored("5, 2");  // another station's
  EXPECT_TRUE(recovery.CheckReceipts());
  EXPECT_TRUE(recovery.CheckReceipts());
  const auto copies = engine.Delivered("COM2");
  ASSERT_EQ(copies.size(), 1u);
  for (const char* part : {"*** KOPIE ***", "05.12.2026  11:58", "Bon-Nr 4"}) {
    EXPECT_THAT(copies[0].lines, ::testing::Contains(::testing::HasSubstr(part))) << part;
  }
  EXPECT_EQ(f.db.Scalar("SELECT bunr FROM pdaanlauf WHERE kasse = 1"), "4");
}

}  // namespace
}  // namespace tolven::testing
