#include "platform/posix/cups_printer_system.h"

#include <cups/cups.h>

#include <cstdlib>

#include "common/cp1252.h"
#include "common/text.h"

namespace tolven::platform {

namespace {

struct Connection {
  http_t* http = nullptr;
  ~Connection() {
    if (http) httpClose(http);
  }
};

std::string LastCupsError() { return Utf8ToCp1252(cupsLastErrorString() ? cupsLastErrorString() : ""); }

// "host", "host:port", "[v6]:port", "/path/to/socket", each possibly followed
// by "/version=..." as CUPS_SERVER allows.
void SplitServer(std::string server, std::string& host, int& port) {
  port = ippPort();
  if (server.empty()) {
    host = "localhost";
    return;
  }
  if (server[0] == '/') {
    host = server;  // local socket
    return;
  }
  size_t slash = server.find('/');
  if (slash != std::string::npos) server.resize(slash);
  size_t colon = server.rfind(':');
  size_t bracket = server.rfind(']');
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
    std::optional<int32_t> p = StrictWholeNumber(server.substr(colon + 1));
    if (p && *p > 0 && *p < 65536) port = *p;
    server.resize(colon);
  }
  host = server;
}

Status Connect(const std::string& server, Connection& c) {
  // Without this, a scheduler that asks for a password makes libcups prompt on
  // the terminal, which would stop an unattended gateway; the job fails
  // instead. libcups keeps the callback per thread, and calls come from the
  // loop's workers, so it is set on every connection.
  cupsSetPasswordCB2([](const char*, http_t*, const char*, const char*, void*) -> const char* { return nullptr; },
                     nullptr);
  std::string host;
  int port;
  SplitServer(server, host, port);
  c.http = httpConnect2(host.c_str(), port, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1, 30000, nullptr);
  if (!c.http) return Status::Error("httpConnect2(" + Utf8ToCp1252(server) + "): " + LastCupsError());
  // A scheduler that stops answering must not hold the gateway for good.
  httpSetTimeout(c.http, 30.0, nullptr, nullptr);
  return Status::Ok();
}

}  // namespace

CupsPrinterSystem::CupsPrinterSystem(std::string server) : server_(std::move(server)) {}

std::string CupsPrinterSystem::Server() const {
  if (!server_.empty()) return server_;
  const char* env = std::getenv("CUPS_SERVER");
  if (env && *env) return env;
  const char* configured = cupsServer();
  return configured ? configured : "";
}

std::vector<std::string> CupsPrinterSystem::InstalledPrinters() {
  std::vector<std::string> names;
  Connection c;
  if (!Connect(Server(), c)) return names;
  cups_dest_t* dests = nullptr;
  int count = cupsGetDests2(c.http, &dests);
  for (int i = 0; i < count; ++i) {
    if (!dests[i].instance) names.push_back(Utf8ToCp1252(dests[i].name));
  }
  cupsFreeDests(count, dests);
  return names;
}

std::string CupsPrinterSystem::DefaultPrinter() {
  Connection c;
  if (!Connect(Server(), c)) return "";
  cups_dest_t* dests = nullptr;
  int count = cupsGetDests2(c.http, &dests);
  std::string name;
  for (int i = 0; i < count; ++i) {
    if (dests[i].is_default) {
      name = Utf8ToCp1252(dests[i].name);
      break;
    }
  }
  cupsFreeDests(count, dests);
  return name;
}

std::string CupsPrinterSystem::MakeAndModel(const std::string& printer) {
  Connection c;
  if (!Connect(Server(), c)) return "";
  const std::string queue = Cp1252ToUtf8(printer);
  cups_dest_t* dests = nullptr;
  int count = cupsGetDests2(c.http, &dests);
  std::string model;
  if (cups_dest_t* dest = cupsGetDest(queue.c_str(), nullptr, count, dests)) {
    const char* value = cupsGetOption("printer-make-and-model", dest->num_options, dest->options);
    if (value) model = Utf8ToCp1252(value);
  }
  cupsFreeDests(count, dests);
  return model;
}

Status CupsPrinterSystem::Reachable() {
  Connection c;
  return Connect(Server(), c);
}

Status CupsPrinterSystem::SubmitRaw(const std::string& printer, const std::string& title, const std::string& bytes) {
  return Submit(printer, title, bytes, true);
}

Status CupsPrinterSystem::SubmitText(const std::string& printer, const std::string& title, const std::string& text) {
  return Submit(printer, title, Cp1252ToUtf8(text), false);
}

Status CupsPrinterSystem::SubmitTextJob(const std::string& printer, const std::string& title, const std::string& text,
                                        const TextLayout& layout) {
  return Submit(printer, title, Cp1252ToUtf8(text), false, layout.charsPerInch);
}

Status CupsPrinterSystem::Submit(const std::string& printer, const std::string& title, const std::string& data,
                                 bool raw, int charsPerInch) {
  Connection c;
  if (Status st = Connect(Server(), c); !st) return st;
  const std::string queue = Cp1252ToUtf8(printer);
  const std::string name = Cp1252ToUtf8(title);
  cups_option_t* options = nullptr;
  int count = 0;
  if (!raw) count = cupsAddOption("lpi", "8", count, &options);
  if (!raw && charsPerInch > 0) count = cupsAddOption("cpi", std::to_string(charsPerInch).c_str(), count, &options);
  int job = cupsCreateJob(c.http, queue.c_str(), name.c_str(), count, options);
  cupsFreeOptions(count, options);
  if (job == 0) return Status::Error("cupsCreateJob(" + printer + "): " + LastCupsError());

  auto fail = [&](const std::string& call) {
    Status st = Status::Error(call + "(" + printer + "): " + LastCupsError());
    cupsCancelJob2(c.http, queue.c_str(), job, 0);
    return st;
  };
  if (cupsStartDocument(c.http, queue.c_str(), job, name.c_str(), raw ? CUPS_FORMAT_RAW : CUPS_FORMAT_TEXT, 1) !=
      HTTP_STATUS_CONTINUE)
    return fail("cupsStartDocument");
  if (!data.empty() && cupsWriteRequestData(c.http, data.data(), data.size()) != HTTP_STATUS_CONTINUE)
    return fail("cupsWriteRequestData");
  if (cupsFinishDocument(c.http, queue.c_str()) != IPP_STATUS_OK) return fail("cupsFinishDocument");
  return Status::Ok();
}

std::unique_ptr<PrinterSystem> MakePrinterSystem() { return std::make_unique<CupsPrinterSystem>(); }

}  // namespace tolven::platform
