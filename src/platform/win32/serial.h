// The DCB side of serial ports (Windows only).
#pragma once

#include <memory>
#include <string>

#include "platform/serial_port.h"
#include "platform/win32/system.h"

namespace tolven::platform {

// Sets in `dcb` binary mode, the speed, parity, character size and stop bits
// of the settings text and the handshake; DTR is raised, RTS raised or left to
// the handshake, errors never stop the port. Refuses texts that cannot be
// parsed; `dcb` is unchanged then. Stop bits "2" with five data bits become
// 1.5, the only longer stop the line has at that size.
Status SerialSettingsToDcb(const std::string& settings, Handshake handshake, DCB& dcb);

// The name CreateFileW takes for a port: a bare "COMn" gets the "\\.\" prefix
// (without it COM10 and above are not found); anything else is kept.
std::string SerialDevicePath(const std::string& device);

// A port whose writes give up after `stallMs` without any byte being taken
// (a printer stopped by XOFF or out of paper must not hang the gateway).
std::unique_ptr<SerialPort> MakeSerialPort(int stallMs);

}  // namespace tolven::platform
