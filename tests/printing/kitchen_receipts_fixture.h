// Kitchen receipts on a real SQLite database: the print engine and the TSE
// server are recording fakes, everything else is the real thing.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "print_engine_fixture.h"
#include "fiscal/tse.h"
#include "printing/kitchen_receipts.h"
#include "support/scripted_tse.h"
#include "support/test_db.h"

namespace tolven::testing {

class KitchenReceiptsTest : public ::testing::Test {
 protected:
  KitchenReceiptsTest() {
    db.state().kaNr = 7;
    db.state().kaName = "Anna";
    db.Exec("UPDATE system SET kuebonport1 = 'COM1', kuebonport2 = 'LPT1', kuebonport3 = 'COM3', "
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
    db.Exec("INSERT INTO bestellung (tisch, kanr, kdnr, konto, gast, artnr, artbez, artgrp, menge, epreis, opreis, "
            "rabatt, kueprt, haskuebon, mark, kueinfo, belaginfo, gang) VALUES (" + n(table) + "7, 0, 0, " + n(gast) +
            db::SqlText(artnr) + ", " + db::SqlText(artbez) + ", " + n(artgrp) + n(menge) + n(epreis) + n(epreis) +
            "0, " + n(kueprt) + "0, 0, " + db::SqlText(kueinfo) + ", " + db::SqlText(belaginfo) + ", " +
            std::to_string(gang) + ")");
  }

  void Run(int table = 12, int32_t trx = 100, int32_t start = 1765000000) {
    trx_ = trx;
    start_ = start;
    kb.PrintKueBon(trx_, start_, table, "7 - Anna");
  }

  // The article lines of a printout in normal size ("2x Cola").
  static std::vector<std::string> Articles(const FakePrintEngine::Printout& p) {
    std::vector<std::string> out;
    for (const auto& l : p.lines) {
      size_t x = l.find("x ");
      if (x != std::string::npos && x > 0 && (std::isdigit(static_cast<unsigned char>(l[0])) || l[0] == '-'))
        out.push_back(l);
    }
    return out;
  }

  int64_t Pending(int table = 12) {
    return db.Count("bestellung", "tisch = " + std::to_string(table) + " AND haskuebon = 0");
  }

  TestDb db;
  platform::IniFile ini{db.env(), db.folder()};
  FakePrintEngine engine;
  printing::PrintLineBuffer printLines{ini, db.ui(), engine};
  ScriptedTseServer server;
  fiscal::Tse tse{db.tools(), server, fiscal::TseIdentity()};
  RecordingLog log;
  printing::KitchenReceipts kb{db.tools(), printLines, tse, log};
  int32_t trx_ = 0, start_ = 0;
};

}  // namespace tolven::testing
