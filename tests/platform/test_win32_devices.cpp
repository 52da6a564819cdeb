// Serial settings on the Windows DCB, the pages of a text job, and the
// parallel port against a real file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/env.h"
#include "platform/parallel_port.h"
#include "platform/win32/printer_system.h"
#include "platform/win32/serial.h"

namespace tolven::testing {
namespace {

using platform::Handshake;
using Pages = std::vector<std::vector<std::string>>;

TEST(Win32Serial, SettingsAndHandshakeOnTheDcb) {
  struct Case {
    const char* settings;
    Handshake handshake;
    DWORD baud;
    BYTE parity, dataBits, stopBits;
    bool xon, cts;
  } cases[] = {
      {"9600,N,8,1", Handshake::None, 9600, NOPARITY, 8, ONESTOPBIT, false, false},
      {" 115200 , o , 7 , 2 ", Handshake::XonXoff, 115200, ODDPARITY, 7, TWOSTOPBITS, true, false},
      {"1200,M,6,1.5", Handshake::RtsCts, 1200, MARKPARITY, 6, TWOSTOPBITS, false, true},
      // Two stop bits at five data bits are the line's 1.5; Windows refuses 2 there.
      {"4800,s,5,2", Handshake::RtsCtsXonXoff, 4800, SPACEPARITY, 5, ONE5STOPBITS, true, true},
      {"2400,E,5,1", Handshake::None, 2400, EVENPARITY, 5, ONESTOPBIT, false, false},
  };
  for (const Case& c : cases) {
    DCB dcb{};
    // What a driver may hand over: must not survive.
    dcb.fAbortOnError = TRUE;
    dcb.fOutxDsrFlow = TRUE;
    dcb.fOutX = TRUE;
    ASSERT_TRUE(platform::SerialSettingsToDcb(c.settings, c.handshake, dcb).ok()) << c.settings;
    EXPECT_EQ(dcb.BaudRate, c.baud) << c.settings;
    EXPECT_EQ(dcb.Parity, c.parity) << c.settings;
    EXPECT_EQ(dcb.fParity, c.parity != NOPARITY) << c.settings;
    EXPECT_EQ(dcb.ByteSize, c.dataBits) << c.settings;
    EXPECT_EQ(dcb.StopBits, c.stopBits) << c.settings;
    EXPECT_EQ(dcb.fOutX && dcb.fInX, c.xon) << c.settings;
    EXPECT_EQ(dcb.fOutX || dcb.fInX, c.xon) << c.settings;
    EXPECT_EQ(dcb.fOutxCtsFlow, c.cts) << c.settings;
    EXPECT_EQ(dcb.fRtsControl, DWORD(c.cts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE)) << c.settings;
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_TRUE(dcb.fBinary && !dcb.fAbortOnError && !dcb.fOutxDsrFlow && dcb.fDtrControl == DTR_CONTROL_ENABLE);
  }
  for (const char* refused : {"9600,X,8,1", "9600,N,9,1", "-9600,N,8,1", "9600,N,8"}) {
    DCB dcb{};
    dcb.BaudRate = 1234;
    EXPECT_FALSE(platform::SerialSettingsToDcb(refused, Handshake::None, dcb).ok()) << refused;
    EXPECT_EQ(dcb.BaudRate, 1234u) << refused << ": changed although refused";
  }
  EXPECT_EQ(platform::SerialDevicePath("com12"), "\\\\.\\com12");
  EXPECT_EQ(platform::SerialDevicePath("\\\\.\\COM3"), "\\\\.\\COM3");
  EXPECT_EQ(platform::SerialDevicePath("COMX"), "COMX");
  Status missing = platform::MakeSerialPort()->Open("COM199", "9600,N,8,1", Handshake::None);
  EXPECT_EQ(missing.message().rfind("CreateFileW(COM199): ", 0), 0u) << missing.message();
}

TEST(Win32Spooler, TextPagesBreakAtFormFeedsAndFullPagesWithoutBlankSheets) {
  struct Case {
    const char* text;
    int columns, lines;
    Pages pages;
  } cases[] = {
      {"a\r\nb\r\n", 80, 3, {{"a", "b"}}},
      {"\n\nc", 80, 3, {{"", "", "c"}}},
      {"a\fb", 80, 3, {{"a"}, {"b"}}},
      {"\fa\r\n\f\fb\f", 80, 3, {{"a"}, {"b"}}},
      {"1\n2\n3\n4\n", 80, 2, {{"1", "2"}, {"3", "4"}}},
      {"1\n2\n\f3", 80, 2, {{"1", "2"}, {"3"}}},
      {"abcdef\nabcd\n", 4, 3, {{"abcd", "ef", "abcd"}}},
      {"a\tb\x07\x1b\n\t\t\n", 12, 3, {{"a       b", "            "}}},
      {"", 80, 3, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::TextPages(c.text, c.columns, c.lines), c.pages) << c.text;

  // The print layout breaks after 75 lines with a marker line: one sheet per
  // 76 lines, as the Linux text filter at eight lines per inch gives them.
  std::string text;
  for (int i = 1; i <= 75; ++i) text += "Zeile " + std::to_string(i) + "\r\n";
  text += "[Automatischer Seitenumbruch]\n\fZeile 76\r\n";
  Pages pages = platform::TextPages(text, 80, 84);
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_EQ(pages[0].size(), 76u);
  EXPECT_EQ(pages[1], std::vector<std::string>{"Zeile 76"});
}

TEST(Win32ParallelPort, AFileGetsTheLastPrintoutAndAMissingDeviceIsAnError) {
  const std::filesystem::path file = std::filesystem::temp_directory_path() / "tolven-lpt-test.prn";
  auto port = platform::MakeParallelPort(platform::DefaultEnv());
  for (const std::string& bytes : {std::string(100000, 'x'), std::string("\x1b@Gr\xFC\xDF\r\n\0", 9)}) {
    ASSERT_TRUE(port->Open(file.string()).ok());
    ASSERT_TRUE(port->Write(bytes).ok());
    port->Close();
    std::ifstream in(file, std::ios::binary);
    std::stringstream got;
    got << in.rdbuf();
    EXPECT_TRUE(got.str() == bytes) << got.str().size() << " of " << bytes.size() << " bytes";
  }
  std::filesystem::remove(file);
  Status missing = port->Open("\\\\.\\LPT199");
  EXPECT_EQ(missing.message().rfind("CreateFileW(\\\\.\\LPT199): ", 0), 0u) << missing.message();
  EXPECT_FALSE(port->Write("x").ok());
}

}  // namespace
}  // namespace tolven::testing
