#include "support/gateway_fixture.h"

#include <filesystem>

namespace tolven::testing {

GatewayFixture::GatewayFixture()
    : tse(tools, tseServer, fiscal::TseIdentity{}),
      orders(tools, tse, exchange, log, this, this),
      poller(tools, exchange, orders, this, loop, log,
             gateway::PollCallbacks{{}, [this] { return afterPass && afterPass(); }}) {
  for (int i = 1; i <= 2; ++i) std::filesystem::create_directories(Slot(i));
  db.Exec("UPDATE system SET pfadppcsync1 = '" + Slot(1) + "', pfadppcsync2 = '" + Slot(2) +
          "', pdaprt1 = 'COM1', pdaprt2 = 'kein Drucker'");
  db.Exec("INSERT INTO kassi (kanr, name, schluesselnr) VALUES (3, 'Anna', '4711')");
  db.Exec("INSERT INTO artgrp (artgrp, kueprt) VALUES (1, 2)");
  poller.Load();
}

void GatewayFixture::PrintOrder(const std::optional<fiscal::TseStart>& transaction, int32_t table,
                                const std::string& waiter, const std::string&) {
  if (printOrder) {
    printOrder(transaction ? transaction->transactionNumber : -1, table);
    return;
  }
  kitchenCalls.push_back(
      (transaction ? std::to_string(transaction->transactionNumber) + "/" + std::to_string(transaction->startTime)
                   : std::string("-")) +
      "/" + std::to_string(table) + "/" + waiter);
}

Status GatewayFixture::SettleTable(int slot, int32_t table, int32_t waiter, const std::string& payment,
                                   const std::string& list) {
  settleCalls.push_back(std::to_string(slot) + "/" + std::to_string(table) + "/" + std::to_string(waiter) + "/" +
                        payment + "/" + list);
  if (duringSettlement) duringSettlement();
  return settleRefusal.empty() ? Status::Ok() : Status::Error(settleRefusal);
}

void GatewayFixture::HandleTerminalRequest(int slot, const std::string& requestFile, const std::string&) {
  requestCalls.push_back(std::to_string(slot));
  std::filesystem::remove(requestFile);
}

void GatewayFixture::Drop(int slot, const std::string& name, const std::vector<std::string>& lines) {
  std::string contents;
  for (const auto& l : lines) contents += l + "\r\n";
  WriteAll(Slot(slot) + name, contents);
}

void GatewayFixture::AddArticle(const std::string& artnr, const std::string& name, int price, int group,
                                const std::string& extra) {
  db.Exec(
      "INSERT INTO artikel (artnr, artbez, artgrp, vkpreis, belpreis, ahpreis, angpreis, happy1preis, "
      "happy2preis) VALUES ('" +
      artnr + "', '" + name + "', " + std::to_string(group) + ", " + std::to_string(price) + ", 0, 0, 0, 0, 0)");
  if (!extra.empty()) db.Exec("UPDATE artikel SET " + extra + " WHERE artnr = '" + artnr + "'");
}

}  // namespace tolven::testing
