// A print engine that keeps every printout (lines, channel, flags) instead of
// printing, and can be told to fail the printouts of a channel.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "printing/print_lines.h"

namespace tolven::testing {

class FakePrintEngine : public printing::PrintEngine {
 public:
  struct Printout {
    std::string channel;
    std::vector<std::string> lines;
    bool cutAtEnd = true;
    bool slowPrinter = false;
    bool failed = false;
  };

  Status MyPrint(const std::vector<std::string>& lines, const std::string& channel, bool cutAtEnd,
                 bool slowPrinter) override;

  // Printouts to `channel` fail `count` times from now on (-1: always).
  void FailChannel(const std::string& channel, int count = -1) { failures_[channel] = count; }

  // The printouts to `channel` that were delivered, in order.
  std::vector<Printout> Delivered(const std::string& channel) const;

  std::vector<Printout> printouts;  // every call, failed ones included
  // Runs at every printout, before it is recorded (e.g. another station acting meanwhile).
  std::function<void(const std::string& channel)> onPrint;

 private:
  std::map<std::string, int> failures_;  // channel -> failures still to come
};

}  // namespace tolven::testing
