// A small restaurant in a real SQLite database: articles with their VAT keys
// and groups, a waiter, a table, a customer, accounts; plus order rows and a
// settlement call as the terminal-request handler makes it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/log_sink.h"
#include "common/text.h"
#include "fiscal/tse.h"
#include "fiscal/tse_server_adapter.h"
#include "settlement/table_settlement.h"
#include "support/recording_log.h"
#include "support/scripted_tse.h"
#include "support/test_db.h"

namespace tolven::settlement::fixture {

using tolven::testing::RecordingLog;

using tolven::testing::ScriptedTseServer;

struct OrderLine {
  OrderLine(std::string a, int m, int e, int g = 1, std::string i = "", int grp = 0, std::string bez = "")
      : artnr(std::move(a)), menge(m), epreis(e), gast(g), info(std::move(i)), artgrp(grp), artbez(std::move(bez)) {}
  std::string artnr;
  int menge;
  int epreis;
  int gast;
  std::string info;
  int artgrp;
  std::string artbez;
  int rabatt = 0;
};

class SettlementFixture : public ::testing::Test {
 public:
  SettlementFixture() {
    db.state().tseInUse = false;
    for (const std::string& sql : FixtureStatements()) db.Exec(sql);
  }

  // The master data; replayed by tests that must restore the database.
  static std::vector<std::string> FixtureStatements() {
    return {
        "INSERT INTO artikel (artnr, artbez, artgrp, mwst, ausserhaus, ticket, kostenstelle) VALUES "
        "('COLA', 'Cola 0,3', 10, 1, 0, 2, 40), ('SALAT', 'Salat', 20, 2, 0, 0, 0), "
        "('POMMES', 'Pommes', 20, 1, -1, 0, 0), ('ALT16', 'Alt 16', 0, 11, 0, 0, 0), "
        "('ALT5', 'Alt 5', 0, 12, 0, 0, 0), ('KEY5', 'Schlüssel 5', 0, 5, 0, 0, 0), "
        "('ZEIT15', 'Billard 15 min', 0, 1, 0, 0, 0)",
        "INSERT INTO artgrp (artgrp, artgrp2, grpbez) VALUES (10, 3, 'Getränke'), (20, 0, 'Küche')",
        "INSERT INTO artgrp2 (artgrp2, grpbez) VALUES (3, 'Alkoholfrei')",
        "INSERT INTO kassi (kanr, name) VALUES (3, 'Anna')",
        "INSERT INTO tische (tisch, bubemerk, gaeste, tse_startbest) VALUES (12, 'Fenster', 0, 77)",
        "INSERT INTO kunden (kdnr, vname, name, name2, strasse, plz, ort, kdgrp) VALUES "
        "(7, 'Max', 'Muster', 'GmbH', 'Hauptstr. 1', '12345', 'Ort', 4)",
        "INSERT INTO kontenrahmen (bez, konto) VALUES ('BONUS', 8400), ('EZGS_MWST_1', 1700)",
        "UPDATE system SET gstypeu1mwstschl = 1, nokassi0 = 0",
    };
  }

  void Order(int tisch, const OrderLine& o, int kdnr = 0) {
    db.Exec("INSERT INTO bestellung (tisch, kanr, kdnr, gast, artnr, artbez, artgrp, menge, epreis, rabatt, info, "
            "konto) VALUES (" +
            std::to_string(tisch) + ", 3, " + std::to_string(kdnr) + ", " + std::to_string(o.gast) + ", " +
            db::SqlText(o.artnr) + ", " + db::SqlText(o.artbez.empty() ? o.artnr : o.artbez) + ", " +
            std::to_string(o.artgrp) + ", " + std::to_string(o.menge) + ", " + std::to_string(o.epreis) + ", " +
            std::to_string(o.rabatt) + ", " + db::SqlText(o.info) + ", 4000)");
  }
  void Orders(int tisch, const std::vector<OrderLine>& rows, int kdnr = 0) {
    for (const OrderLine& o : rows) Order(tisch, o, kdnr);
  }

  // As the terminal-request handler calls it; `tools` may be a faulty one.
  int32_t Settle(int tisch, std::string& zahlart, int kanr = 3, db::DbTools* tools = nullptr,
                 const std::string& filter = "") {
    db::DbTools& t = tools ? *tools : db.tools();
    db::DbError err;
    auto rs = db.conn().Query("SELECT *, menge*epreis as gpreis FROM bestellung WHERE tisch = " + NumStr(tisch) + filter,
                              err);
    EXPECT_TRUE(rs) << err.text;
    if (!rs) return -2;
    TableSettlement settlement(t, log, tse.get(), settings);
    return settlement.TischAbrechnen(*rs, tisch, kanr, zahlart).value_or(-1);
  }
  int32_t Settle(int tisch, const char* zahlart, int kanr = 3) {
    std::string z = zahlart;
    return Settle(tisch, z, kanr);
  }

  void UseTse(fiscal::TseServerAdapter& adapter) {
    db.state().tseInUse = true;
    tse = std::make_unique<fiscal::Tse>(db.tools(), adapter,
                                        fiscal::TseIdentity{"KASSE-1", "ecdsa-plain-SHA384", "BPUBKEY"});
  }

  // Every row of a query, columns joined by "|", rows by "\n".
  std::string Dump(const std::string& sql) {
    db::DbError err;
    auto rs = db.conn().Query(sql, err);
    EXPECT_TRUE(rs) << sql << " -> " << err.text;
    std::string out;
    for (; rs && !rs->Eof(); rs->MoveNext()) {
      for (size_t i = 0; i < rs->ColumnCount(); ++i) out += (i ? "|" : "") + rs->Raw(i).AsString();
      out += "\n";
    }
    return out;
  }

  std::string Counter(const std::string& name) {
    return db.Scalar("SELECT wert FROM uniquenr WHERE name = " + db::SqlText(name));
  }

  tolven::testing::TestDb db;
  RecordingLog log;
  SettlementSettings settings;
  std::unique_ptr<fiscal::Tse> tse;
};

}  // namespace tolven::settlement::fixture
