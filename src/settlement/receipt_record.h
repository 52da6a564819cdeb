// What a settlement writes besides the header and the ledgers: the receipt
// lines (`kasspro`), the bonus-discount lines, vouchers sold and redeemed
// (`gutscheine`), outlays (`auslagen`) and, after signing, the TSE columns of the
// header with the QR text. Every statement runs through ExecSQL inside the
// settlement's transaction; texts are cut to their columns so that a long
// terminal text can never make the server refuse a whole receipt.
#pragma once

#include <cstdint>
#include <string>

#include "common/datetime.h"
#include "common/money.h"
#include "db/station_context.h"
#include "fiscal/tse.h"

namespace tolven::settlement {

// Values every line of one receipt shares.
struct ReceiptContext {
  int32_t bunr = 0;
  int32_t seqnr = 0;
  DateTime time;  // receipt date and time
  int32_t tisch = 0;
  int32_t version = 0;
  int32_t kdnr = 0;
  int32_t kanr = 0;
  std::string zahlart;  // the receipt's own payment type ("MIX" once a payment row occurs)
};

struct ArticleLine {
  std::string gvtyp;  // "Umsatz", "TrinkgeldAG", "EinzweckgutscheinKauf", "EinzweckgutscheinEinloesung"
  std::string artnr;
  int32_t artgrp = 0;
  int32_t artgrp2 = 0;
  std::string artbez, grpbez, grpbez2;
  int32_t ticket = 0;
  int32_t konto = 0;
  int32_t kostenstelle = 0;
  int32_t menge = 0;
  Rate volgew;
  Cents preis = 0;
  Cents posbetrag = 0;
  Cents rabatt = 0;
  std::string rabgrund;
  int vatKey = 0;
  Rate rate;
  std::string info;
};

Status InsertArticleLine(db::StationContext& tools, const ReceiptContext& ctx, int32_t pos, const ArticleLine& line);

// One line per VAT key that carries a share of the bonus redemption.
Status InsertBonusLine(db::StationContext& tools, const ReceiptContext& ctx, int32_t pos, int vatKey, Rate rate,
                       Cents share, int32_t bonusAccount);

// typ 1 for a single-purpose voucher, 0 for an own voucher.
Status InsertVoucherSold(db::StationContext& tools, const ReceiptContext& ctx, const std::string& gsnr, int32_t typ,
                         int vatKey, Rate rate, Cents betrag, const std::string& receivedZahlart,
                         const std::string& bemerk);

// Redeems the open voucher with exactly this number for `amount` (its value
// must cover it) by this receipt. An error with the reason when the voucher
// is unknown, already redeemed, worth less or stored twice, or when the
// statement fails: the settlement must then be refused as a whole.
Status MarkVoucherRedeemed(db::StationContext& tools, const ReceiptContext& ctx, const std::string& gsnr, Cents amount);

struct Customer {
  int32_t kdnr = 0;
  int32_t kdgrp = 0;
  std::string name1, name2, strasse, plzort;
};

Status InsertOutlay(db::StationContext& tools, const ReceiptContext& ctx, Cents betrag, const std::string& txt,
                    const Customer& customer);

// "V0;" + register id + ";Kassenbeleg-V1;" + process data + ";" + transaction
// number + ";" + signature counter + ";" + start + ";" + finish + ";" +
// algorithm + ";unixTime;" + signature + ";" + public key.
std::string BuildQrText(const fiscal::TseIdentity& identity, const fiscal::TseResult& result);

Status UpdateTseColumns(db::StationContext& tools, int32_t bunr, const fiscal::TseResult& result, int32_t tseStartbest,
                        const std::string& qr);

}  // namespace tolven::settlement
