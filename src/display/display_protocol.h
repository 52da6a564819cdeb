// What each kind of pole display expects on its serial line: port settings,
// the bytes that reset it, and the bytes of one two-line update. Pure data, so
// the display module only decides when to send and the tables can be checked
// without a port.
#pragma once

#include <string>
#include <vector>

#include "platform/serial_port.h"

namespace tolven::display {

// One transmission, followed by a pause the display needs before it takes the next.
struct DisplayStep {
  std::string bytes;
  int waitMsAfter = 0;
};
using DisplaySequence = std::vector<DisplayStep>;

// How the port is opened for a kind.
struct SerialSetup {
  std::string settings;
  platform::Handshake handshake = platform::Handshake::None;
  bool raiseLines = false;  // DTR and RTS switched on after opening
};

// The settings a port gets when its display kind does not set its own.
inline constexpr const char* kKeptSettings = "9600,N,8,1";

SerialSetup SerialSetupFor(int kind);

// Sent once after the port was opened (or on every re-open).
DisplaySequence InitSequence(int kind);

// Characters per display line: 20, or 16 for the small kind 20.
int LineWidth(int kind);

// One update showing two texts that have already passed the character
// conversion. An empty sequence: the kind shows nothing (or is not a serial display).
DisplaySequence UpdateSequence(int kind, const std::string& text1, const std::string& text2);

}  // namespace tolven::display
