// A small restaurant in a real database: articles with their VAT keys and
// groups, a waiter, a table, a customer, accounts; plus order rows and a
// settlement call as the terminal-request handler makes it.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "common/text.h"
#include "fiscal/tse.h"
#include "settlement/table_settlement.h"
#include "support/recording_log.h"
#include "support/scripted_tse.h"
#include "support/test_db.h"

namespace tolven::settlement::fixture {

// An order row of guest 1, named as its article number.
struct OrderLine {
  std::string artnr;
  int menge;
  int epreis;
  std::string info = "";
  int artgrp = 0;
};

class SettlementFixture : public ::testing::Test {
 public:
  SettlementFixture() {
    db.state().tseInUse = false;
    // The master data.
    for (const char* sql : {
             "INSERT INTO artikel (artnr, artbez, artgrp, mwst, ausserhaus, ticket, kostenstelle) VALUES "
             "('COLA', 'Cola 0,3', 10, 1, 0, 2, 40), ('SALAT', 'Salat', 20, 2, 0, 0, 0), "
             "('POMMES', 'Pommes', 20, 1, -1, 0, 0), ('ALT16', 'Alt 16', 0, 11, 0, 0, 0), "
             "('ALT5', 'Alt 5', 0, 12, 0, 0, 0), ('KEY5', 'Schlüssel 5', 0, 5, 0, 0, 0)",
             "INSERT INTO artgrp (artgrp, artgrp2, grpbez) VALUES (10, 3, 'Getränke'), (20, 0, 'Küche')",
             "INSERT INTO artgrp2 (artgrp2, grpbez) VALUES (3, 'Alkoholfrei')",
             "INSERT INTO kassi (kanr, name) VALUES (3, 'Anna')",
             "INSERT INTO tische (tisch, bubemerk, gaeste, tse_startbest) VALUES (12, 'Fenster', 0, 77)",
             "INSERT INTO kunden (kdnr, vname, name, name2, strasse, plz, ort, kdgrp) VALUES "
             "(7, 'Max', 'Muster', 'GmbH', 'Hauptstr. 1', '12345', 'Ort', 4)",
             "INSERT INTO kontenrahmen (bez, konto) VALUES ('BONUS', 8400), ('EZGS_MWST_1', 1700)",
             "UPDATE system SET gstypeu1mwstschl = 1, nokassi0 = 0",
         })
      db.Exec(sql);
    // Station 2: a connection of its own to the same database.
    second = db.OpenSecond();
    state2 = db.state();
    state2.kasse = 2;
    tools2 = std::make_unique<db::StationContext>(*second, state2, db.env(), db.ui());
  }

  void Orders(int tisch, const std::vector<OrderLine>& rows, int kdnr = 0) {
    for (const OrderLine& o : rows) {
      db.Exec(
          "INSERT INTO bestellung (tisch, kanr, kdnr, gast, artnr, artbez, artgrp, menge, epreis, info, konto) "
          "VALUES (" +
          std::to_string(tisch) + ", 3, " + std::to_string(kdnr) + ", 1, " + db::SqlText(o.artnr) + ", " +
          db::SqlText(o.artnr) + ", " + std::to_string(o.artgrp) + ", " + std::to_string(o.menge) + ", " +
          std::to_string(o.epreis) + ", " + db::SqlText(o.info) + ", 4000)");
    }
  }

  // The rows of a table as the terminal-request handler reads them, on one station's connection.
  std::unique_ptr<db::ResultSet> Rows(db::Connection& conn, int tisch) {
    auto rs =
        conn.Query("SELECT *, menge*epreis as gpreis FROM bestellung WHERE tisch = " + NumStr(tisch) + " ORDER BY id");
    return rs ? std::make_unique<db::ResultSet>(std::move(*rs)) : nullptr;
  }
  // As the terminal-request handler calls it: on rows read before (else now, on
  // station 1's connection), through `tools` (else station 1's). -1: not settled.
  int32_t Settle(int tisch, std::string zahlart, db::StationContext* tools = nullptr, db::ResultSet* rows = nullptr) {
    auto fresh = rows ? nullptr : Rows(db.conn(), tisch);
    TableSettlement settlement(tools ? *tools : db.tools(), log, tse.get(), settings);
    const SettlementResult bunr = settlement.TischAbrechnen(rows ? *rows : *fresh, tisch, kanr, zahlart, {});
    refusal = bunr.refusal;
    return bunr.value_or(-1);
  }
  // Every row of a query, columns joined by "|", rows by "\n".
  std::string Dump(const std::string& sql) {
    auto rs = db.conn().Query(sql);
    EXPECT_TRUE(rs) << sql << " -> " << rs.status().message();
    std::string out;
    for (; rs && !rs->Eof(); rs->MoveNext()) {
      for (size_t i = 0; i < rs->ColumnCount(); ++i) out += (i ? "|" : "") + rs->Raw(i).AsString();
      out += "\n";
    }
    return out;
  }

  // Every row of every table a settlement writes (TSE columns of the header
  // apart, which only the signature fills): what a refused or failed one must leave alone.
  std::string Stored() {
    std::string out;
    for (const char* q : {"SELECT bunr, seqnr, datumzeit, betrag, umsatzzaehler, sum0, sum1, sum2, mwst1, mwst2, "
                          "zahlart, sumgsin, sumgsout, sumgsfremd, sumauslagen, gaeste, kdnr, crc, signatur0 FROM kass "
                          "ORDER BY bunr",
                          "SELECT * FROM kasspro ORDER BY bunr, pos", "SELECT * FROM gutscheine ORDER BY gsnr",
                          "SELECT * FROM auslagen", "SELECT * FROM offrech", "SELECT * FROM kdkto ORDER BY kdktobunr",
                          "SELECT * FROM bkto ORDER BY datumzeit, punkte", "SELECT * FROM buch2 ORDER BY bunr2",
                          "SELECT * FROM barsaldo ORDER BY lfdnr", "SELECT * FROM uniquenr ORDER BY name",
                          "SELECT * FROM zeilenstornos ORDER BY id", "SELECT * FROM kunden ORDER BY kdnr",
                          "SELECT * FROM bestellung ORDER BY id"}) {
      out += std::string(q).substr(0, 40) + ":\n" + Dump(q);
    }
    return out;
  }

  tolven::testing::TestDb db;
  tolven::testing::RecordingLog log;
  SettlementSettings settings;
  std::unique_ptr<fiscal::Tse> tse;
  int kanr = 3;                            // the waiter who settles
  std::string refusal;                     // of the last settlement
  std::unique_ptr<db::Connection> second;  // station 2
  StartupState state2;
  std::unique_ptr<db::StationContext> tools2;
};

}  // namespace tolven::settlement::fixture
