// The receipt header row and what safeguards it: the VAT-rate check, the
// turnover counter carried from receipt to receipt, the chronology check, the
// receipt signature `signatur0` and the check text `crc`. The same check text
// is stored with every receipt line and journal booking.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/crc16.h"
#include "common/datetime.h"
#include "common/money.h"
#include "db/station_context.h"
#include "fiscal/tse.h"

namespace tolven::fiscal {

// Four upper-case hex digits over "DD.MM.YYYY" + number + amount, both written
// through single precision in ten characters. The single-precision form is
// what every program of the installation computes and checks, so it stays even
// though numbers of eight and more digits lose their last places in it.
std::string RecordCRC(const Date& date, int64_t number, int64_t amount);

// What the receipt signature is made of.
struct SignatureInput {
  int32_t installationNr = 0;
  int32_t bunr = 0;
  DateTime time;             // receipt date and time (to the second)
  int64_t normalRate = 0;    // gross at the normal rate (key 1)
  int64_t reducedRate1 = 0;  // key 2
  int64_t reducedRate2 = 0;  // key 3
  int64_t zeroRate = 0;      // key 0
  int64_t turnoverCounter = 0;
  std::string zahlart;
};

// The text that is encrypted: installation number (6), bunr (8), YYYYMMDD,
// HHMMSS, the four class amounts and a zero (8 each, zero after reduced rate 2),
// the counter (10) and the payment type left-aligned in 6. Numbers are
// zero-padded to their width and never cut; a negative number keeps its width
// with the "-" in front of the digits.
std::string SignatureKeyData(const SignatureInput& input);
// The key the signature is made with (the constant from its 6th character on).
std::string SignatureKey();
// HexEncode of the encrypted key-data text.
std::string Signatur0(const SignatureInput& input);

// Every value of one `kass` row as the settlement hands it over.
struct ReceiptHeader {
  int32_t bunr = 0;
  int32_t seqnr = 0;
  DateTime datumzeit;     // receipt date and time
  DateTime vorgangstart;  // when the settlement started
  int32_t tisch = 0;
  std::string txt;
  int32_t kdnr = 0;
  int32_t kdgrp = 0;
  std::string cardno, name1, name2, strasse, plzort;
  int32_t kanr = 0;
  std::string kaname;
  Cents betrag = 0;
  Cents sum0 = 0, sum1 = 0, sum2 = 0, sum3 = 0, sum1alt = 0, sum2alt = 0;
  Cents mwst1 = 0, mwst2 = 0, mwst3 = 0, mwst1alt = 0, mwst2alt = 0;
  Rate rate1, rate2, rate3, oldRate1, oldRate2;
  Cents rabatt = 0;
  std::string zahlart;
  Cents bargegeben = 0, barzurueck = 0;
  Cents sumgsin = 0, sumgsout = 0, sumgsfremd = 0, sumauslagen = 0;
  int32_t bonus = 0;
  int32_t gaeste = 0;
  int32_t pcatransid = 0;
  std::string info;
  // Values this gateway does not produce itself; stored as they are.
  int32_t version = 0;
  std::string staid;
  std::string timTpid;
  int32_t timTpidno = 0;
  std::string timSernr;
  // The customer columns are written only for installations that print the
  // customer on the receipt.
  bool customerOnReceipt = false;
};

// What BelegSchreiben stored besides the caller's values.
struct ReceiptSafeguards {
  Cents umsatzzaehler = 0;
  std::string signatur0;
  std::string crc;
};

// The TSE signature of a stored receipt as the settlement received it, with
// its QR text: what the receipt prints when the TSE columns could not be stored.
struct ReceiptSignature {
  int32_t bunr = 0;
  TseResult result;
  std::string qr;
};

// Checks and writes the header row inside the caller's transaction. An error
// (nothing stored) with its text when a VAT rate 1 or 2 is 0, when the
// receipt lies before receipt bunr - 1, when the turnover counter would leave
// the 32-bit range, or when a statement fails.
Status BelegSchreiben(db::StationContext& tools, const ReceiptHeader& header, ReceiptSafeguards* stored = nullptr);

}  // namespace tolven::fiscal
