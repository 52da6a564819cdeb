// The termios side of serial ports (POSIX only).
#pragma once

#include <termios.h>

#include <memory>
#include <string>

#include "platform/serial_port.h"

namespace tolven::platform {

// Puts `t` into raw mode (no echo, no line editing, no output processing,
// modem lines ignored, receiver on) with the speed, parity, character size and
// stop bits of the settings text and the handshake. Refuses texts that cannot
// be parsed and speeds termios has no constant for; `t` is unchanged then.
Status SerialSettingsToTermios(const std::string& settings, Handshake handshake, termios& t);

// A port whose writes give up after `stallMs` without any byte being taken
// (a printer stopped by XOFF or out of paper must not hang the gateway).
std::unique_ptr<SerialPort> MakeSerialPort(int stallMs);

}  // namespace tolven::platform
