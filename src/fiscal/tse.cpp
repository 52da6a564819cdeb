#include "fiscal/tse.h"

#include <cstdio>

#include "common/text.h"
#include "fiscal/tse_server_adapter.h"

namespace tolven::fiscal {

Tse::Tse(db::DbTools& tools, TseServerAdapter& adapter, TseIdentity identity)
    : tools_(tools), adapter_(adapter), identity_(std::move(identity)), ready_(tools.state().tseInUse) {}

int32_t Tse::TSE_StartTransaction(int32_t& startTime) { return adapter_.Start("", "", startTime); }

bool Tse::TSE_FinishTransaction(int32_t transactionNumber, const std::string& processType,
                                const std::string& processData, std::string& serialNumber, int32_t& finishTime,
                                int32_t& signatureCounter, std::string& signature) {
  return adapter_.Finish(transactionNumber, processType, processData, serialNumber, finishTime, signatureCounter,
                         signature);
}

bool Tse::TSE_StartAndFinish(const std::string& processType, const std::string& processData, TseResult& result) {
  result = TseResult();
  result.processType = processType;
  result.processData = processData;
  result.transactionNumber = TSE_StartTransaction(result.startTime);
  // The finish is sent even after a failed start, so the server sees the attempt.
  return TSE_FinishTransaction(result.transactionNumber, processType, processData, result.serialNumber,
                               result.finishTime, result.signatureCounter, result.signature);
}

std::string Tse::TSE_UnixTimeToISO(int64_t seconds) {
  DateTime t = FromUnixTime(seconds);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.000Z", t.date.year, t.date.month, t.date.day, t.hour,
                t.minute, t.second);
  return buf;
}

std::string Tse::TseLogPath() {
  DateTime now = tools_.env().Now();
  return tools_.state().logPfad + "TSE" + platform::kPathSepText + "TSE_VS_" + std::to_string(tools_.state().kasse) +
         "_" + FormatYYMMDD(now.date) + ".LOG";
}

void Tse::WriteTseLog(const std::string& text) {
  DateTime now = tools_.env().Now();
  std::string line = FormatDMY(now.date) + " " + FormatHMS(now) + "," + std::to_string(now.millisecond / 100) + " " +
                     std::to_string(tools_.state().kasse) + " " + text + "\r\n";
  std::string path = TseLogPath();
  Status st = tools_.env().AppendFile(path, line);
  if (!st) {
    tools_.ui().MessageBox("TSE-Log-Eintrag nicht möglich.\r\n\r\n" + path + "\r\n\r\n" + st.message(),
                           platform::MsgKind::Critical);
  }
}

}  // namespace tolven::fiscal
