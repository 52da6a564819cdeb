#include "startup/ini_settings.h"

#include <string_view>

#include "common/text.h"

namespace tolven {

using K = IniKey;

constexpr std::array<IniSetting, static_cast<size_t>(IniKey::Count)> kIniSettings{{
    {K::Engine, "DATABASE", "ENGINE", "MSSQL", nullptr, false,
     "SQLITE: the file tolven.db in the folder of PFADE DATENBANK; MSSQL: SQL Server through ODBC; "
     "POSTGRESQL: PostgreSQL through ODBC (multi-station tests)"},
    {K::Server, "DATABASE", "SERVER", "(local)", nullptr, true,
     "SQL Server instance: host, host,port or host\\instance"},
    {K::User, "DATABASE", "USER", "sa", nullptr, true, "login name on the database server"},
    {K::Pwd, "DATABASE", "PWD", "", nullptr, true,
     "password in plain text for the first start, which replaces it by its coded form PWDC once the server accepted "
     "it"},
    {K::Pwdc, "DATABASE", "PWDC", "", nullptr, true,
     "the coded password (a fixed reversible code: keep the file readable by the service user only)"},
    {K::Datenbank, "PFADE", "DATENBANK", "", "program folder", true, "folder of the SQLite database file tolven.db"},
    {K::Provider, "DATABASE", "PROVIDER", "", nullptr, true, "kept for the other POS programs; not used here"},
    {K::JetProvider, "DATABASE", "JET-PROVIDER", "4.0", nullptr, true,
     "kept for the other POS programs; not used here"},
    {K::Exe, "PFADE", "EXE", "", "program folder", true,
     "base folder of the installation: work files, LOG/YYYY/ (SQL error log, print log, TSE/ day logs), "
     "ARCHIV/BON/"},
    {K::Kassnr, "SETUP", "KASSNR", "1", nullptr, true,
     "station (register) number; every gateway on one database needs its own"},
    {K::Elpay, "PFADE", "ELPAY", "C:\\Programme\\ElPay\\ElPay\\", nullptr, true,
     "kept for the other POS programs; not used here"},
    {K::OdbcDriver, "DATABASE", "ODBCDRIVER", "", "FreeTDS (Windows: SQL Server), for POSTGRESQL PostgreSQL ANSI",
     false, "ODBC driver as named in odbcinst.ini, or the path of its library"},
    {K::TdsVersion, "DATABASE", "TDSVERSION", "", "7.4", false, "TDS protocol version for FreeTDS"},
    {K::Catalog, "DATABASE", "CATALOG", "tolven", nullptr, false,
     "name of the database on the server (letters, digits and _)"},
    {K::Encrypt, "DATABASE", "ENCRYPT", "", "the driver's", false,
     "Microsoft's drivers: their Encrypt value (yes, no; the newer ones also strict, optional, mandatory); FreeTDS: "
     "yes demands TLS, "
     "no switches it off"},
    {K::TrustServerCertificate, "DATABASE", "TRUSTSERVERCERTIFICATE", "", "the driver's", false,
     "Microsoft's drivers only: yes accepts a certificate it cannot check"},
    {K::InstallationNr, "SETUP", "INSTALLATIONNR", "0", nullptr, false,
     "installation number written into every receipt signature"},
    {K::KassenId, "TSE", "KASSENID", "", "TOLVENPDA-n (n: KASSNR)", false,
     "register id in the receipt QR text; every gateway on one database needs its own (leave it out unless the tax "
     "office knows another id)"},
    {K::SigAlgorithmus, "TSE", "SIGALGORITHMUS", "ecdsa-plain-SHA384", nullptr, false,
     "signature algorithm named in the receipt QR text"},
    {K::PublicKey, "TSE", "PUBLICKEY", "", nullptr, false, "public key of the TSE in the receipt QR text"},
    {K::ComPorts, "PORTS", "COM1..COM9", "", "Linux /dev/ttyS0.., Windows \\\\.\\COM1..", false,
     "device behind a serial port name of the printers and the customer display (Linux /dev/ttyUSB0, Windows "
     "\\\\.\\COM12)"},
    {K::LptPorts, "PORTS", "LPT1..LPT3", "", "Linux /dev/lp0.., Windows LPT1..", false,
     "device behind a parallel port name of the printers"},
    {K::BcsExe, "BCS", "EXE", "", nullptr, true,
     "program started along with a customer display of kind 23 (systemhw.disptyp)"},
    {K::StatusPort, "STATUS", "PORT", "", nullptr, false, "port of the status page; empty or 0 switches it off"},
    {K::StatusBind, "STATUS", "BIND", "127.0.0.1", nullptr, false,
     "address the status page listens on (0.0.0.0 or :: for every address)"},
    {K::StatusAllow, "STATUS", "ALLOW", "", nullptr, false,
     "addresses or prefixes besides loopback that may see the status page, e.g. 192.168.1.20 192.168.1.0/24 "
     "(blanks, commas or semicolons between them); host names are not accepted"},
    {K::KuecheNachdruck, "KUECHE", "NACHDRUCK_MINUTEN", "30", nullptr, false,
     "kitchen lines that waited longer for their printer do not print by themselves when it is back; the status "
     "page lists them to print or drop"},
    {K::KuecheErsatz, "KUECHE", "ERSATZ1..ERSATZ4", "", "none", false,
     "kitchen printer (1-4) that takes over the printouts of kitchen printer n when it fails"},
    {K::TseVerbindungstest, "TSE", "VERBINDUNGSTEST", "JA", nullptr, false,
     "JA: the gateway asks the TSE server itself, with a transaction of its own (SonstigerVorgang), at the start and, "
     "while the server does not answer, every 10 s, so an outage shows before the first order waits for it and its "
     "end without one; NEIN: only orders and receipts find out"},
    {K::LogAufbewahrung, "LOG", "AUFBEWAHRUNG_TAGE", "90", nullptr, false,
     "the program's own logs in LOG/<year>/ and the exchange files set aside in BEISEITE/ are deleted after so many "
     "days (0: never); never the TSE day logs in LOG/<year>/TSE/ nor the archives"},
}};

namespace {

// SettingOf indexes the table by key.
constexpr bool InKeyOrder() {
  for (size_t i = 0; i < kIniSettings.size(); ++i) {
    if (static_cast<size_t>(kIniSettings[i].id) != i) return false;
  }
  return true;
}
static_assert(InKeyOrder());

std::string ShownDefault(const IniSetting& s) {
  if (s.shownDefault) return s.shownDefault;
  return *s.defaultValue ? s.defaultValue : "(empty)";
}

}  // namespace

const IniSetting& SettingOf(IniKey key) { return kIniSettings[static_cast<size_t>(key)]; }

std::string ReadSetting(const platform::IniFile& ini, IniKey key) {
  return ReadSetting(ini, key, SettingOf(key).defaultValue);
}

std::string ReadSetting(const platform::IniFile& ini, IniKey key, const std::string& defaultValue) {
  const IniSetting& s = SettingOf(key);
  return ini.Read(kIniFile, s.section, s.key, defaultValue);
}

std::string ReadTrimmedSetting(const platform::IniFile& ini, IniKey key) {
  return ReadTrimmedSetting(ini, key, SettingOf(key).defaultValue);
}

std::string ReadTrimmedSetting(const platform::IniFile& ini, IniKey key, const std::string& defaultValue) {
  std::string value = TrimBlanks(ReadSetting(ini, key, ""));
  return value.empty() ? defaultValue : value;
}

Status WriteSetting(platform::IniFile& ini, IniKey key, const std::string& value) {
  const IniSetting& s = SettingOf(key);
  return ini.Write(kIniFile, s.section, s.key, value);
}

std::string RegisterId(const platform::IniFile& ini, int32_t station) {
  return ReadTrimmedSetting(ini, IniKey::KassenId, "TOLVENPDA-" + std::to_string(station));
}

std::string SettingsHelpText() {
  constexpr size_t kIndent = 6, kWidth = 80;
  std::string out;
  for (const IniSetting& s : kIniSettings) {
    out += std::string("  [") + s.section + "] " + s.key + " = " + ShownDefault(s) + (s.writtenBack ? " *" : "") + "\n";
    // The meaning below, broken between words to fit a terminal.
    std::string line(kIndent, ' ');
    std::string_view rest = s.meaning;
    while (!rest.empty()) {
      const size_t blank = rest.find(' ');
      const std::string_view word = rest.substr(0, blank);
      rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
      if (line.size() > kIndent && line.size() + 1 + word.size() > kWidth) {
        out += line + "\n";
        line.assign(kIndent, ' ');
      }
      if (line.size() > kIndent) line += ' ';
      line += word;
    }
    out += line + "\n";
  }
  return out;
}

std::string SettingsMarkdownTable() {
  std::string out = "| Section | Key | Default | Written back | Meaning |\n|---|---|---|---|---|\n";
  for (const IniSetting& s : kIniSettings) {
    const std::string shown = s.shownDefault || !*s.defaultValue ? ShownDefault(s) : "`" + ShownDefault(s) + "`";
    out += std::string("| ") + s.section + " | " + s.key + " | " + shown + " | " + (s.writtenBack ? "yes" : "no") +
           " | " + s.meaning + " |\n";
  }
  return out;
}

}  // namespace tolven
