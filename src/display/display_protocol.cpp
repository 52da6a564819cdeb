#include "display/display_protocol.h"

#include <initializer_list>

#include "common/text.h"

namespace tolven::display {

namespace {

constexpr int kFF = 12;
constexpr int kCR = 13;
constexpr int kLF = 10;
constexpr int kEsc = 27;

const std::string kCrLf = Bytes({kCR, kLF});

// The ANSI-style displays (Toshiba): erase the screen, and put the cursor in the
// top left corner (row and column as binary bytes, as these displays take them).
const std::string kAnsiClear = HexDecode("1B5B324A");
const std::string kAnsiHome = HexDecode("1B5B013B0148");

// The framed protocol of kind 23: E7, command, data, 7E.
constexpr int kFrameStart = 0xE7;
constexpr int kFrameEnd = 0x7E;

// A frame ends at the first 7E, so a "~" in the text would cut it short and
// the rest would be taken for a command.
std::string FrameData(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) == kFrameEnd) c = ' ';
  }
  return text;
}

}  // namespace

SerialSetup SerialSetupFor(int kind) {
  switch (kind) {
    case 8: return {"9600,O,8,1", platform::Handshake::None, false};
    case 17: return {"115200,O,8,1", platform::Handshake::None, false};
    case 13:
    case 24: return {"19200,N,8,1", platform::Handshake::None, false};
    case 15: return {"38400,N,8,1", platform::Handshake::None, false};
    case 18: return {"38400,N,8,1", platform::Handshake::RtsCts, false};
    case 23: return {"9600,N,8,1", platform::Handshake::None, false};
    case 2:
      // This display wants RTS and XON/XOFF together.
      return {kKeptSettings, platform::Handshake::RtsCtsXonXoff, true};
    default: return {kKeptSettings, platform::Handshake::None, false};
  }
}

DisplaySequence InitSequence(int kind) {
  const std::string blanks40(40, ' ');
  switch (kind) {
    case 1:
    case 6:
    case 13: return {{Bytes({kEsc, 96, 1})}, {Bytes({2})}};
    case 2: return {{Bytes({kEsc, ' '})}, {Bytes({kEsc, '#'})}, {Bytes({kEsc, '*', 0})}, {Bytes({kEsc, ')', 0})}};
    case 3: return {{blanks40}};
    case 4: return {{Bytes({31})}, {Bytes({20})}};
    case 5:
    case 18:
    case 22: return {{Bytes({kEsc, 64}), 200}, {Bytes({31, 1})}, {Bytes({31, 'C', 0})}, {Bytes({kFF})}};
    case 7: return {{Bytes({2})}, {Bytes({kEsc, 'N'})}, {Bytes({30})}};
    case 8:
    case 17: return {{kAnsiClear + Bytes({kCR})}};
    case 9: return {{Bytes({kEsc, ' '})}, {Bytes({kEsc, '#'})}};
    case 10: return {{Bytes({kFF})}, {Bytes({kEsc, 'R', 2})}, {Bytes({kEsc, 't', 19})}};
    case 14: return {{Bytes({kEsc, 64})}, {Bytes({kFF})}};
    case 15: return {{blanks40 + Bytes({kCR})}};
    case 16: return {{Bytes({kEsc, 5})}};
    case 21: return {{Bytes({kEsc, 64}), 200}, {Bytes({kEsc, '_', 0})}};
    case 23: return {{Bytes({kFrameStart, 0x42, 0x01, kFrameEnd})}, {Bytes({kFrameStart, 0x43, 0x01, kFrameEnd})}};
    case 24: return {{Bytes({kEsc, '=', '2'}), 50}, {Bytes({kEsc, 64}), 50}, {Bytes({kFF})}};
    default:  // 11, 12, 19, 20 need no reset
      return {};
  }
}

int LineWidth(int kind) { return kind == 20 ? 16 : 20; }

DisplaySequence UpdateSequence(int kind, const std::string& text1, const std::string& text2) {
  const int width = LineWidth(kind);
  const std::string line1 = PadRight(text1, width);
  const std::string line2 = PadRight(text2, width);
  // The kinds that end the second line without padding it: a display in
  // overwrite mode needs no trailing blanks, and a longer text would run into
  // the first line again.
  const std::string tail2 = text2.substr(0, static_cast<size_t>(width));
  switch (kind) {
    case 2:
    case 9: return {{Bytes({kEsc, ' '})}, {Bytes({kEsc, '('}) + "11" + line1}, {Bytes({kEsc, '('}) + "21" + line2}};
    case 3:
    // Kinds 4 and 16 are reset by their own codes and then take plain
    // characters, wrapping after 20 like kind 3; 40 characters bring the cursor
    // back to where it started, so every update lands in the same place.
    case 4:
    case 16: return {{line1 + line2}};
    case 5:
    case 18:
    case 22:
    case 10:
    // Kind 24 is an ESC/POS customer display like kind 5 once its reset has
    // selected it; the selection code stays in force.
    case 24: return {{Bytes({kFF})}, {line1 + Bytes({kCR}) + tail2}};
    case 7: return {{Bytes({30}) + line1 + kCrLf}, {line2}};
    case 13:
    // Kinds 1 and 6 share kind 13's reset, and so its update.
    case 1:
    case 6: return {{Bytes({kEsc, '+'}) + line1 + kCrLf + line2}};
    case 14:
      return {{Bytes({kEsc, 'Q', 'A'}) + line1 + Bytes({kCR})}, {Bytes({kEsc, 'Q', 'B'}) + line2 + Bytes({kCR})}};
    case 15: return {{Bytes({kFF})}, {line1 + Bytes({kCR}) + line2}};
    case 17:
    // Kind 8 is the same make as kind 17 with the same reset; only the speed differs.
    case 8: return {{kAnsiClear + kAnsiHome}, {line1 + kCrLf + line2}};
    case 20: return {{Bytes({kFF})}, {line1 + Bytes({kCR})}, {line2}};
    case 21:
      return {{Bytes({kFF})},
              {Bytes({kEsc, 'F', 'A'}) + line1 + Bytes({kCR})},
              {Bytes({kEsc, 'F', 'B'}) + line2 + Bytes({kCR})}};
    case 23:
      // "Show text" frame with both lines.
      return {{Bytes({kFrameStart, 0x44}) + FrameData(line1 + line2) + Bytes({kFrameEnd})}};
    default:  // 11, 19: nothing; 12 is the monitor file
      return {};
  }
}

}  // namespace tolven::display
