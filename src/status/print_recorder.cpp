#include "status/print_recorder.h"

#include "common/datetime.h"
#include "common/text.h"
#include "printing/print_archive.h"
#include "status/html.h"
#include "status/paper.h"

namespace tolven::status {

using db::GetFieldValue;

const char* PrintoutKindName(PrintoutKind kind) {
  switch (kind) {
    case PrintoutKind::CustomerReceipt: return "Kundenbeleg";
    case PrintoutKind::KitchenReceipt: return "Küchenbon";
    case PrintoutKind::Other: break;
  }
  return "Ausdruck";
}

namespace {

// "BON<digits>.BON" at the end of a path, any letter case.
int32_t BonNumber(const std::string& path) {
  size_t start = path.find_last_of("/\\");
  std::string name = ToUpper(start == std::string::npos ? path : path.substr(start + 1));
  if (name.size() < 8 || !StartsWith(name, "BON") || !EndsWith(name, ".BON")) return 0;
  std::string digits = name.substr(3, name.size() - 7);
  if (digits.empty() || digits.size() > 9) return 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
  }
  return static_cast<int32_t>(std::stol(digits));
}

// Receipt archives get a file per receipt; as a channel they are one.
std::string ChannelKey(const std::string& channel) {
  if (!ArchiveReceiptNumber(channel)) return channel;
  size_t slash = channel.find_last_of("/\\");
  return (slash == std::string::npos ? std::string("FILE:") : channel.substr(0, slash + 1)) + "BON*.BON";
}

// The number of a kitchen receipt from its header line "Nr.<kuebonnr>/<seqnr>".
int32_t KitchenReceiptNumber(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    if (!StartsWith(line, "Nr.")) continue;
    const std::optional<int32_t> n = StrictWholeNumber(line.substr(3, line.find('/') - 3));
    return n && *n > 0 ? *n : 0;
  }
  return 0;
}

}  // namespace

int32_t ArchiveReceiptNumber(const std::string& channel) {
  if (!StartsWith(channel, "FILE:")) return 0;
  return BonNumber(channel.substr(5));
}

PrintRecorder::PrintRecorder(printing::PrintEngine& inner, platform::Env& env) : inner_(inner), env_(env) {}

PrintRecorder::Scope::Scope(PrintRecorder& r, PrintoutKind kind)
    : recorder_(r), previous_(r.scopes_[platform::Fiber::Current()]) {
  r.scopes_[platform::Fiber::Current()] = {kind, r.nextSerial_++};
}

PrintRecorder::Scope::~Scope() {
  if (previous_.serial == 0) {
    recorder_.scopes_.erase(platform::Fiber::Current());
  } else {
    recorder_.scopes_[platform::Fiber::Current()] = previous_;
  }
}

std::string PrintRecorder::NowText() {
  DateTime now = env_.Now();
  return FormatDMY(now.date) + " " + FormatHMS(now);
}

Status PrintRecorder::MyPrint(const std::vector<std::string>& lines, const std::string& channel, bool cutAtEnd,
                              bool slowPrinter) {
  ++busy_;
  Status st = inner_.MyPrint(lines, channel, cutAtEnd, slowPrinter);
  --busy_;
  Record(lines, channel, cutAtEnd, st);
  return st;
}

void PrintRecorder::Render(PrintoutRecord& r) {
  std::vector<PaperLine> paper = RenderPaper(r.lines, r.cutAtEnd);
  bool hasQr = false;
  for (const PaperLine& l : paper) hasQr = hasQr || l.mark == PaperMark::Qr;
  if (!hasQr && r.kind == PrintoutKind::CustomerReceipt && r.bunr > 0 && r.storedQr.empty() && qrLookup_) {
    r.storedQr = qrLookup_(r.bunr);
  }
  r.text = PaperText(paper);
  r.html = PaperHtml(paper);
  if (!hasQr && !r.storedQr.empty()) {
    const std::string svg = QrSvg(r.storedQr);
    r.html += "<div class=\"storedqr\"><div>QR-Code des Belegs (gespeichert, nicht im Ausdruck):</div>" + svg +
              "<div class=\"qrtext\">" + HtmlText(r.storedQr) + "</div></div>";
    r.text.push_back("[QR-Code gespeichert] " + r.storedQr);
  }
}

void PrintRecorder::Record(const std::vector<std::string>& lines, const std::string& channel, bool cutAtEnd,
                           const Status& st) {
  ++generation_;
  const std::string now = NowText();

  ChannelOutcome& out = channels_[ChannelKey(channel)];
  out.channel = ChannelKey(channel);
  out.time = now;
  out.ok = st.ok();
  out.error = st.ok() ? "" : st.message();
  ++out.printouts;
  if (!st.ok()) ++out.failures;
  out.lastUse = generation_;
  if (channels_.size() > kMaxChannels) {
    // The channel printed to longest ago makes room.
    auto oldest = channels_.begin();
    for (auto it = channels_.begin(); it != channels_.end(); ++it) {
      if (it->second.lastUse < oldest->second.lastUse) oldest = it;
    }
    channels_.erase(oldest);
  }

  const auto scope = scopes_.find(platform::Fiber::Current());
  const ScopeState current = scope == scopes_.end() ? ScopeState{} : scope->second;
  PrintoutKind kind = current.kind;
  const int32_t bunr = ArchiveReceiptNumber(channel);
  if (kind == PrintoutKind::Other && bunr > 0) kind = PrintoutKind::CustomerReceipt;
  auto& list = kind == PrintoutKind::KitchenReceipt ? kitchen_ : receipts_;
  const PrintDelivery delivery{channel, st.ok(), st.ok() ? "" : st.message()};

  if (current.serial != 0 && lastSerial_ == current.serial && !list.empty() && list.front()->lines == lines &&
      list.front()->kind == kind) {
    // The same printout again within one scope: one more delivery of it. The
    // published record stays untouched; a new one replaces it.
    auto merged = std::make_shared<PrintoutRecord>(*list.front());
    merged->deliveries.push_back(delivery);
    if (bunr > 0 && merged->bunr == 0) merged->bunr = bunr;
    if (cutAtEnd && !merged->cutAtEnd) {
      merged->cutAtEnd = true;
      Render(*merged);
    }
    list.front() = merged;
    return;
  }

  auto r = std::make_shared<PrintoutRecord>();
  r->id = nextId_++;
  r->kind = kind;
  r->time = now;
  r->deliveries.push_back(delivery);
  r->bunr = bunr;
  if (kind == PrintoutKind::KitchenReceipt) r->kuebonnr = KitchenReceiptNumber(lines);
  r->source = "Druckdaten";
  r->lines = lines;
  r->cutAtEnd = cutAtEnd;
  Render(*r);
  list.push_front(r);
  while (list.size() > kKeep) list.pop_back();
  lastSerial_ = current.serial;
}

void PrintRecorder::LoadArchived(const std::string& folder, const std::vector<int32_t>& bunrs) {
  // Oldest first, so the newest ends up in front.
  for (auto it = bunrs.rbegin(); it != bunrs.rend(); ++it) {
    const std::string name = "BON" + std::to_string(*it) + ".BON";
    std::string contents;
    if (!env_.ReadFile(folder + name, contents)) continue;
    printing::ArchivedPrintout archived = printing::ParseArchivedPrintout(contents);
    auto r = std::make_shared<PrintoutRecord>();
    r->id = nextId_++;
    r->kind = PrintoutKind::CustomerReceipt;
    r->bunr = *it;
    r->source = "Archiv " + name +
                (archived.check == printing::ArchivedPrintout::Check::Ok      ? ", Prüfsumme stimmt"
                 : archived.check == printing::ArchivedPrintout::Check::Wrong ? ", Prüfsumme FALSCH"
                                                                              : ", ohne Prüfsumme");
    r->lines = std::move(archived.lines);
    r->cutAtEnd = true;
    Render(*r);
    receipts_.push_front(r);
    while (receipts_.size() > kKeep) receipts_.pop_back();
  }
  lastSerial_ = -1;
  ++generation_;
}

std::vector<ChannelOutcome> PrintRecorder::Channels() const {
  std::vector<ChannelOutcome> out;
  for (const auto& [key, outcome] : channels_) out.push_back(outcome);
  return out;
}

std::vector<int32_t> LatestReceiptNumbers(db::StationContext& tools, int count) {
  std::vector<int32_t> out;
  auto rs = tools.Open(tools.dialect().SelectTop(
      count, "bunr FROM kass WHERE kasse = " + NumStr(tools.state().kasse) + " ORDER BY bunr DESC"));
  for (; rs && !rs->Eof(); rs->MoveNext()) out.push_back(GetFieldValue(*rs, "bunr").AsInt());
  return out;
}

std::string StoredQrText(db::StationContext& tools, int32_t bunr) {
  auto rs = tools.Open("SELECT tse_qr FROM kass WHERE bunr = " + NumStr(bunr));
  return rs && !rs->Eof() ? GetFieldValue(*rs, "tse_qr").AsString() : "";
}

}  // namespace tolven::status
