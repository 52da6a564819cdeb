// Every key of TOLVEN.INI the gateway reads, declared once: section, key,
// default and meaning. The start-up reads through this table, --help lists it
// and the README's configuration table is made from it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/ini_file.h"

namespace tolven {

inline constexpr const char* kIniFile = "TOLVEN.INI";

// In the order the start-up reads them (and so writes missing ones back).
enum class IniKey {
  Engine,
  Server,
  User,
  Pwd,
  Pwdc,
  Datenbank,
  Provider,
  JetProvider,
  Exe,
  Kassnr,
  Elpay,
  OdbcDriver,
  TdsVersion,
  Catalog,
  Encrypt,
  TrustServerCertificate,
  InstallationNr,
  KassenId,
  SigAlgorithmus,
  PublicKey,
  ComPorts,  // COM1..COM9, read by the port lookup of the platform layer
  LptPorts,  // LPT1..LPT3, likewise
  BcsExe,    // read by the customer display
  StatusPort,
  StatusBind,
  StatusAllow,
  KuecheNachdruck,
  KuecheErsatz,  // ERSATZ1..ERSATZ4
  TseVerbindungstest,
  LogAufbewahrung,
  Count
};

struct IniSetting {
  IniKey id;
  const char* section;
  const char* key;
  // Taken when the key is missing (or, for keys written back, empty).
  const char* defaultValue;
  // The default as the operator is told it, where it is worked out at start-up
  // (a folder, the station number, the engine's driver); nullptr: defaultValue.
  const char* shownDefault;
  // Missing or empty, the default is written into the file: the POS programs
  // sharing it expect these keys. The others are never written.
  bool writtenBack;
  const char* meaning;
};

extern const std::array<IniSetting, static_cast<size_t>(IniKey::Count)> kIniSettings;

const IniSetting& SettingOf(IniKey key);

// The value; `defaultValue` (the table's when not given) when the key is missing.
std::string ReadSetting(const platform::IniFile& ini, IniKey key);
std::string ReadSetting(const platform::IniFile& ini, IniKey key, const std::string& defaultValue);
// Without blanks around it; `defaultValue` (the table's when not given) when
// that leaves it empty.
std::string ReadTrimmedSetting(const platform::IniFile& ini, IniKey key);
std::string ReadTrimmedSetting(const platform::IniFile& ini, IniKey key, const std::string& defaultValue);
Status WriteSetting(platform::IniFile& ini, IniKey key, const std::string& value);
// The station's register id in the receipts' QR texts: KASSENID, or
// TOLVENPDA-<station> without one.
std::string RegisterId(const platform::IniFile& ini, int32_t station);

// The keys for --help: one entry per key with its default and meaning.
std::string SettingsHelpText();
// The same as the Markdown table of the README.
std::string SettingsMarkdownTable();

}  // namespace tolven
