// Terminals ordering back to back against a running installation: each
// terminal sends its next order the moment the answer to its last one is in
// place. Shared by the throughput and the peak figures, together with the
// check that every order was booked exactly once.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "installation.h"
#include "terminal_watch.h"

namespace tolven::bench {

constexpr int kOrderLines = 10;

std::vector<std::string> Folders(const Installation& inst, int slots);
// Creates the installation and starts the TSE server stand-in and the gateway;
// false with a FEHLER note.
bool StartInstallation(Installation& inst);
// Reads and removes the answer, as the terminal does; true when it is "OK".
bool TakeAnswer(const std::string& path);
// The kitchen note every line of one order carries: "T<slot>-<seq>".
std::string Tag(int slot, int seq);

// Every order's lines once: tags missing, tags with more rows than lines, and
// rows of tags nobody sent.
struct BookingCheck {
  int lost = 0, doubled = 0, partial = 0, strangers = 0;
  bool ok() const { return lost == 0 && doubled == 0 && partial == 0 && strangers == 0; }
  std::string Text() const;
};
BookingCheck CheckBookings(Installation& inst, const std::set<std::string>& sent);

struct BackToBackOptions {
  int terminals = 5;
  int seconds = 300;
  // The run is given up when no order was confirmed for this long.
  double stallMs = 60000;
  // The order file a terminal sends; by default kOrderLines lines for table 10 + slot.
  std::function<std::string(int slot, const std::string& tag)> order;
  // Called at least every 200 ms while the run lasts (with the time since its start).
  std::function<void(double elapsedMs)> tick;
};

struct ConfirmedOrder {
  int slot = 0;
  std::string tag;
  double sent = 0, taken = 0, confirmed = 0;  // NowMs()
  bool afterOwn = false;  // sent the moment its terminal's previous order was confirmed
};

struct BackToBackRun {
  double start = 0, elapsedS = 0;
  std::vector<ConfirmedOrder> done;            // in the order of their answers
  std::vector<std::pair<double, int>> takings;  // (when, slot) of every order taken, in time order
  std::set<std::string> sentTags;
  int notOk = 0;  // answers other than "OK"
  int confirmed() const { return static_cast<int>(done.size()); }
};

// Sends orders for options.seconds, then waits for the last answers. False
// (with a FEHLER note) when the gateway stopped answering.
bool RunBackToBack(Installation& inst, TerminalWatch& watch, const BackToBackOptions& options, BackToBackRun& run);

}  // namespace tolven::bench
