#include "support/fake_print_engine.h"

namespace tolven::testing {

Status FakePrintEngine::MyPrint(const std::vector<std::string>& lines, const std::string& channel, bool cutAtEnd,
                                bool slowPrinter) {
  if (onPrint) onPrint(channel);
  auto it = failures_.find(channel);
  const bool fail = it != failures_.end() && it->second != 0;
  if (fail && it->second > 0) --it->second;
  printouts.push_back({channel, lines, cutAtEnd, slowPrinter, fail});
  return fail ? Status::Error("Fehler bei Druck auf " + channel) : Status::Ok();
}

std::vector<FakePrintEngine::Printout> FakePrintEngine::Delivered(const std::string& channel) const {
  std::vector<Printout> out;
  for (const auto& p : printouts)
    if (!p.failed && p.channel == channel) out.push_back(p);
  return out;
}

}  // namespace tolven::testing
