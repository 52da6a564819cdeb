#include "settlement/settlement_totals.h"

#include <set>

#include "common/text.h"

namespace tolven::settlement {

namespace {

constexpr int64_t kHundred = 100 * Rate::kScale;

int64_t NetOf(int64_t gross, Rate rate) { return DivRoundHalfEven(gross * kHundred, kHundred + rate.units); }
int64_t VatOf(int64_t gross, Rate rate) { return gross - NetOf(gross, rate); }
// round(x - x * 100 / (100 + rate)) in one rounding, so that a half cent goes
// to the even neighbour of the VAT itself.
int64_t VatPartOf(int64_t amount, Rate rate) { return DivRoundHalfEven(amount * rate.units, kHundred + rate.units); }

int64_t Abs(int64_t v) { return v < 0 ? -v : v; }

void SplitBonus(SettlementTotals& t, const VatRates& rates) {
  const int64_t b = t.bonus;
  if (b <= 0) return;
  t.turnover -= b;
  int64_t& sum0 = t.sum[0];
  int64_t& sum1 = t.sum[1];
  int64_t& sum2 = t.sum[2];
  // The redemption reduces the normal rate first, then the reduced rate, then key 0.
  if (sum1 >= b) {
    sum1 -= b;
    t.mwst[1] -= VatPartOf(b, rates.current[1]);
    t.bonusSplit = {0, b, 0};
    return;
  }
  const int64_t part1 = sum1;
  const int64_t rest = b - sum1;
  sum1 = 0;
  t.mwst[1] = 0;
  if (sum2 >= rest) {
    sum2 -= rest;
    t.mwst[2] -= VatPartOf(rest, rates.current[2]);
    t.bonusSplit = {0, part1, rest};
    return;
  }
  const int64_t part2 = sum2;
  const int64_t part0 = rest - sum2;
  sum2 = 0;
  t.mwst[2] = 0;
  sum0 -= part0;
  t.bonusSplit = {part0, part1, part2};
}

}  // namespace

std::string ApplyZeitRule(const std::string& artnr) { return StartsWith(artnr, "_ZEIT") ? artnr.substr(1) : artnr; }

RowKind ClassifyArticle(const std::string& artnr) {
  if (artnr == "$$$GS") return RowKind::OwnVoucher;
  if (artnr == "GASTRODIGITAL") return RowKind::OnlineVoucher;
  if (artnr == "$$$FGS") return RowKind::ForeignVoucher;
  if (artnr == "$$BAR") return RowKind::PartialCash;
  if (artnr == "$$$BONUS") return RowKind::Bonus;
  if (artnr == "$$$AUSLAGE") return RowKind::Outlay;
  if (artnr == "$$$EZGS") return RowKind::SinglePurposeVoucher;
  if (artnr == "$GVTGAG") return RowKind::EmployerTip;
  if (artnr == "00-MWST0") return RowKind::FreeAmount0;
  if (artnr == "00-MWST1") return RowKind::FreeAmount1;
  if (artnr == "00-MWST2") return RowKind::FreeAmount2;
  return RowKind::Article;
}

bool IsPaymentKind(RowKind kind) {
  return kind == RowKind::OwnVoucher || kind == RowKind::OnlineVoucher || kind == RowKind::ForeignVoucher ||
         kind == RowKind::PartialCash;
}

bool IsArticleKind(RowKind kind) { return !IsPaymentKind(kind) && kind != RowKind::Bonus && kind != RowKind::Outlay; }

int KeySlot(int key) {
  switch (key) {
    case 0: return 0;
    case 1: return 1;
    case 2: return 2;
    case 3: return 3;
    case 11: return 4;
    case 12: return 5;
    default: return -1;
  }
}

std::optional<Rate> VatRates::ForKey(int key) const {
  if (key >= 0 && key <= 3) return current[static_cast<size_t>(key)];
  if (key == 11) return old1;
  if (key == 12) return old2;
  return std::nullopt;
}

Status ComputeTotals(const std::vector<TotalsRow>& rows, const VatRates& rates, int32_t tableGuests,
                     const std::string& receivedZahlart, SettlementTotals& t) {
  t = SettlementTotals();
  std::set<int32_t> guests;
  for (const TotalsRow& row : rows) {
    // One row outside 32 bits is refused before it can take a sum with it.
    if (!CheckedCents(row.gpreis) || !CheckedCents(row.menge) || !CheckedCents(row.rabatt) ||
        !CheckedCents(row.menge * row.rabatt)) {
      return Status::Error("Betrag einer Position außerhalb des zulässigen Wertebereichs");
    }
    const int64_t g = row.gpreis;
    switch (row.kind) {
      case RowKind::OwnVoucher:
        if (g > 0) t.ownSold += g;
        if (g < 0) t.ownRedeemed -= g;
        t.receiptIsMix = true;
        continue;
      case RowKind::OnlineVoucher:
        if (g > 0) t.onlineSold += g;
        if (g < 0) t.onlineRedeemed -= g;
        t.receiptIsMix = true;
        continue;
      case RowKind::ForeignVoucher:
        t.foreign -= g;
        t.receiptIsMix = true;
        continue;
      case RowKind::PartialCash:
        t.partialCash += Abs(g);
        t.receiptIsMix = true;
        continue;
      case RowKind::Bonus: t.bonus += Abs(g); continue;
      case RowKind::Outlay: t.outlays += g; continue;
      default: break;
    }
    t.turnover += g;
    t.discount += row.menge * row.rabatt;
    if (row.gast >= 0 && row.gast <= 99) {
      guests.insert(row.gast);
    } else {
      t.unmarkedGuests.push_back(row.gast);
    }
    int slot = KeySlot(row.vatKey);
    if (slot < 0) slot = 0;
    t.sum[static_cast<size_t>(slot)] += g;
    if (slot == 0) t.mwst[0] += VatOf(g, rates.current[0]);
  }

  // VAT of the other keys on their sums: three rows of 0.10 at 19 % are 0.05, not 3 x 0.02.
  t.mwst[1] = VatOf(t.sum[1], rates.current[1]);
  t.mwst[2] = VatOf(t.sum[2], rates.current[2]);
  t.mwst[3] = VatOf(t.sum[3], rates.current[3]);
  t.mwst[4] = VatOf(t.sum[4], rates.old1);
  t.mwst[5] = VatOf(t.sum[5], rates.old2);

  t.guests = tableGuests != 0 ? tableGuests : static_cast<int32_t>(guests.size());
  if (t.guests == 0) t.guests = 1;

  SplitBonus(t, rates);

  t.restDue =
      t.turnover + t.ownSold - t.ownRedeemed - t.foreign + t.outlays - t.partialCash + t.onlineSold - t.onlineRedeemed;
  t.cashPart = (receivedZahlart == "BAR" ? t.restDue : 0) + (t.partialCash > 0 ? t.partialCash : 0) +
               (t.outlays != 0 ? t.outlays : 0);

  // Every value that is stored or booked, also negated where it is booked negated.
  const int64_t checked[] = {t.turnover,
                             -t.turnover,
                             t.discount,
                             t.ownRedeemed + t.onlineRedeemed,
                             t.ownRedeemed,
                             t.onlineRedeemed,
                             -(t.ownSold + t.onlineSold),
                             t.ownSold,
                             -t.ownSold,
                             t.onlineSold,
                             -t.onlineSold,
                             t.foreign,
                             t.partialCash,
                             t.outlays,
                             -t.outlays,
                             t.bonus,
                             t.restDue,
                             -t.restDue,
                             t.cashPart,
                             t.turnover - t.cashPart,
                             t.bonusSplit[0],
                             -t.bonusSplit[0],
                             t.bonusSplit[1],
                             -t.bonusSplit[1],
                             t.bonusSplit[2],
                             -t.bonusSplit[2]};
  bool ok = true;
  for (int64_t v : checked) ok = ok && CheckedCents(v).has_value();
  for (size_t i = 0; i < t.sum.size(); ++i) ok = ok && CheckedCents(t.sum[i]) && CheckedCents(t.mwst[i]);
  if (!ok) return Status::Error("Summe außerhalb des zulässigen Wertebereichs");
  return Status::Ok();
}

std::string BuildProcessData(const SettlementTotals& t, const std::string& receiptZahlart,
                             const std::string& receivedZahlart) {
  std::string data = "Beleg^" + FormatCents(t.sum[1]) + "_" + FormatCents(t.sum[2]) + "_" + FormatCents(t.sum[3]) +
                     "_" + "0.00" + "_" + FormatCents(t.sum[0]) + "^";
  if (receiptZahlart == "MIX") {
    data += FormatCents(t.cashPart) + ":Bar_" + FormatCents(t.turnover - t.cashPart) + ":Unbar";
  } else if (receivedZahlart == "BAR") {
    if (t.turnover != 0) data += FormatCents(t.turnover) + ":Bar";
  } else if (t.outlays != 0) {
    data += FormatCents(-t.outlays) + ":Bar_" + FormatCents(t.restDue) + ":Unbar";
  } else if (t.turnover != 0) {
    data += FormatCents(t.turnover) + ":Unbar";
  }
  return data;
}

}  // namespace tolven::settlement
