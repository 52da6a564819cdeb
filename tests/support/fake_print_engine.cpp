#include "support/fake_print_engine.h"

namespace tolven::testing {

Status FakePrintEngine::MyPrint(const std::vector<std::string>& lines, const std::string& channel, bool cutAtEnd,
                                bool slowPrinter) {
  if (onPrint) onPrint(channel);
  Printout p{channel, lines, cutAtEnd, slowPrinter, false};
  auto it = failures_.find(channel);
  if (it != failures_.end() && it->second.okFirst > 0) {
    --it->second.okFirst;
  } else if (it != failures_.end() && it->second.remaining != 0) {
    if (it->second.remaining > 0) --it->second.remaining;
    p.failed = true;
    printouts.push_back(std::move(p));
    return Status::Error("Fehler bei Druck auf " + channel);
  }
  printouts.push_back(std::move(p));
  return Status::Ok();
}

std::vector<FakePrintEngine::Printout> FakePrintEngine::Delivered() const {
  std::vector<Printout> out;
  for (const auto& p : printouts) {
    if (!p.failed) out.push_back(p);
  }
  return out;
}

std::vector<FakePrintEngine::Printout> FakePrintEngine::Delivered(const std::string& channel) const {
  std::vector<Printout> out;
  for (const auto& p : Delivered()) {
    if (p.channel == channel) out.push_back(p);
  }
  return out;
}

}  // namespace tolven::testing
