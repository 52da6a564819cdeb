// What a start finds of an interrupted run, on a real database: the kitchen
// printers, receipt printer and archive go to a recording print engine, the TSE
// server is scripted.
#include "gateway/crash_recovery.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "common/text.h"
#include "printing/customer_receipt.h"
#include "printing/kitchen_receipts.h"
#include "support/fake_print_engine.h"
#include "support/gateway_fixture.h"
#include "support/recording_log.h"
#include "support/test_db.h"

namespace tolven::testing {
namespace {

class CrashRecoveryTest : public ::testing::Test {
 protected:
  CrashRecoveryTest() {
    db.Exec("UPDATE system SET kuebonport1 = 'COM1', bondruckport = 'COM2', kuebongross = 0, kuebonkellner = 1");
    db.Exec("INSERT INTO kueprtparam (drucker, name, grupp, sort) VALUES (1, 'Küche', 0, 2)");
    db.Exec("INSERT INTO kassi (kanr, name) VALUES (3, 'Anna')");
    // The archive channel leaves a file behind, as the real engine does.
    engine.onPrint = [this](const std::string& channel) {
      if (StartsWith(channel, "FILE:")) {
        std::filesystem::create_directories(std::filesystem::path(channel.substr(5)).parent_path());
        WriteAll(channel.substr(5), "archiv\r\n");
      }
    };
  }

  void Order(int table, const std::string& artnr, const std::string& artbez, bool printed = false) {
    db.Exec("INSERT INTO bestellung (tisch, kanr, artnr, artbez, menge, epreis, kueprt, haskuebon) VALUES (" +
            std::to_string(table) + ", 3, " + db::SqlText(artnr) + ", " + db::SqlText(artbez) + ", 1, 250, 1, " +
            (printed ? "-1" : "0") + ")");
  }
  void Receipt(int bunr, int kasse, bool signedByTse) {
    db.Exec("INSERT INTO kass (bunr, kasse, tisch, kanr, zahlart, betrag, datumzeit, tse_signatur) VALUES (" +
            std::to_string(bunr) + ", " + std::to_string(kasse) + ", 12, 3, 'BAR', 250, '2026-12-05 11:58:07', " +
            (signedByTse ? "'SIG'" : "NULL") + ")");
    db.Exec("INSERT INTO kasspro (bunr, pos, artnr, artbez, menge, preis) VALUES (" + std::to_string(bunr) +
            ", 1, '10', 'Kaffee', 1, 250)");
  }
  std::string Archive(int bunr) { return "FILE:" + receipt.ArchivePath(bunr); }
  std::string Mark() { return db.Scalar("SELECT bunr FROM pdaanlauf WHERE kasse = 1"); }
  static std::string Text(const FakePrintEngine::Printout& p) {
    std::string out;
    for (const auto& l : p.lines) out += l + "\n";
    return out;
  }

  TestDb db;
  platform::IniFile ini{db.env(), db.folder()};
  FakePrintEngine engine;
  printing::PrintLineBuffer printLines{ini, db.ui(), engine};
  ScriptedTseServer server;
  fiscal::Tse tse{db.tools(), server, fiscal::TseIdentity{}};
  RecordingLog log;
  printing::KitchenReceipts kitchenReceipts{db.tools(), printLines, tse, log};
  printing::CustomerReceipt receipt{db.tools(), printLines};
  gateway::CrashRecovery recovery{db.tools(), tse, kitchenReceipts, receipt, log};
};

TEST_F(CrashRecoveryTest, LinesThatNeverReachedTheKitchenArePrintedAndTheirOrderSignedOnce) {
  Order(12, "10", "Kaffee");
  Order(12, "11", "Kuchen");
  Order(14, "20", "Suppe");
  Order(14, "21", "Brot", true);   // already in the kitchen
  Order(20, "$GVTGAG", "Trinkgeld");  // nothing for the kitchen
  // Only this station's rows with the TSE server are removed.
  for (const char* kasse : {"1", "2"}) {
    db.Exec(std::string("INSERT INTO tse_server_req (status, kasse, merker, typ) VALUES (0, ") + kasse + ", 4711, 'S')");
    db.Exec(std::string("INSERT INTO tse_server_ans (kasse, merker, tse_trxnr) VALUES (") + kasse + ", 4711, 9)");
  }
  recovery.Run();
  EXPECT_EQ(db.Count("tse_server_req", "kasse = 1") + db.Count("tse_server_ans", "kasse = 1"), 0);
  EXPECT_EQ(db.Count("tse_server_req", "kasse = 2") + db.Count("tse_server_ans", "kasse = 2"), 2);

  ASSERT_EQ(engine.Delivered("COM1").size(), 2u);
  const std::string first = Text(engine.Delivered("COM1")[0]);
  const std::string second = Text(engine.Delivered("COM1")[1]);
  EXPECT_NE(first.find("1x Kaffee"), std::string::npos) << first;
  EXPECT_NE(first.find("Kellner: 3 - Anna"), std::string::npos) << "the waiter of the order, not an empty one";
  EXPECT_EQ(second.find("Brot"), std::string::npos) << "a line the kitchen has is not printed again";

  // One fresh transaction per table, each finished as an order; the tip-only
  // table starts none.
  const std::vector<std::string> expected = {"S", "F:100:Bestellung-V1:1;\"Kaffee\";2.50\r1;\"Kuchen\";2.50", "S",
                                             "F:101:Bestellung-V1:1;\"Suppe\";2.50"};
  EXPECT_EQ(server.calls, expected);

  // A second start finds nothing left to do.
  engine.printouts.clear();
  server.calls.clear();
  recovery.Run();
  EXPECT_TRUE(engine.printouts.empty());
  EXPECT_TRUE(server.calls.empty());

  // With the TSE down the kitchen still gets its receipts, without a wait for each table.
  Order(30, "10", "Kaffee");
  Order(31, "20", "Suppe");
  tse.SetReady(false);
  recovery.Run();
  EXPECT_EQ(engine.Delivered("COM1").size(), 2u);
  EXPECT_TRUE(server.calls.empty());
  EXPECT_EQ(db.Count("bestellung", "haskuebon = 0 AND tisch <> 20"), 0);
}

TEST_F(CrashRecoveryTest, AReceiptLeftWithoutArchiveIsPrintedAsCopyAndAnUnsignedOneReportedNotSigned) {
  // The first start leaves receipts from before the mark alone and sets it.
  Receipt(3, 1, true);
  Receipt(4, 1, false);
  recovery.Run();
  EXPECT_TRUE(engine.printouts.empty());
  EXPECT_EQ(Mark(), "4");
  Receipt(5, 1, true);
  std::filesystem::create_directories(db.state().archivBonPfad);
  WriteAll(receipt.ArchivePath(5), "archiv\r\n");  // printed before the interruption
  Receipt(6, 1, true);   // signed, interrupted before its printout
  Receipt(7, 1, false);  // interrupted during the TSE wait
  Receipt(8, 2, false);  // another station's
  recovery.Run();

  std::vector<std::string> copies;
  for (const auto& p : engine.Delivered()) {
    copies.push_back(p.channel + (Text(p).find("*** KOPIE ***") != std::string::npos ? "" : " ohne KOPIE"));
  }
  EXPECT_EQ(copies, std::vector<std::string>({Archive(6), "COM2", Archive(7), "COM2"}));
  EXPECT_EQ(db.Scalar("SELECT COUNT(*) || '/' || MIN(txt) FROM syslog WHERE typ = 'P'"),
            "1/Beleg 7 nicht über TSE abgesichert");
  ASSERT_EQ(db.ui().messages.size(), 1u);
  EXPECT_EQ(db.ui().messages[0].text.find("Beleg 7 nicht über TSE abgesichert"), 0u);
  EXPECT_TRUE(server.calls.empty()) << "a receipt is never signed after the fact";
  EXPECT_EQ(Mark(), "7");

  // Printed once: the next start leaves them alone.
  engine.printouts.clear();
  recovery.Run();
  EXPECT_TRUE(engine.printouts.empty());
  EXPECT_EQ(db.Count("syslog", "typ = 'P'"), 1);
}

}  // namespace
}  // namespace tolven::testing
