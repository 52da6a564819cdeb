// What start-up reads once and every module reads afterwards.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "common/money.h"

namespace tolven {

struct StartupState {
  std::string dbTyp = "MS-SQL";
  std::string engine;             // "SQLITE", "MSSQL", "POSTGRESQL"
  std::string datumFormat = "E";  // "D": DD.MM.YYYY accepted, "E": ISO
  int16_t boolTrueWert = -1;
  int32_t filiale = 1;
  int32_t kasse = 0;
  std::string configFolder;  // holds TOLVEN.INI and KASSEPRTCODES.INI
  // The folder of the binary, without trailing separator: read-only when
  // installed (/usr/bin); nothing is ever written there.
  std::string programFolder;
  // The installation folder ("EXE" of section "PFADE"), ending with the
  // separator: logs, archives and work files live under it. Despite its name
  // it is not the program's folder.
  std::string exePfad;
  std::string logPfad;  // exePfad + "LOG/" + year + "/"
  std::string archivPfad, archivDtaPfad, archivBonPfad;
  std::string reKopfDatei, voucherDatei;
  std::string datenbankPfad;  // "DATENBANK" of section "PFADE"
  std::array<Rate, 4> mwst{};
  std::string sprache;
  int32_t kaNr = 0;
  std::string kaName;
  std::string staId;
  bool tseInUse = false;
  bool tseViaServer = false;
  bool dbIsClientServer = false;
  // Installation number written into every receipt signature (0 without one).
  int32_t installationNr = 0;
};

}  // namespace tolven
