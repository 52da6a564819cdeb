#include "platform/http_server.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "common/cp1252.h"
#include "platform/http_server_internal.h"

namespace tolven::platform {

std::string HttpRequest::Header(const std::string& name) const {
  auto it = headers.find(name);
  return it == headers.end() ? std::string() : it->second;
}

namespace {

struct Address {
  int bits = 0;  // 32 or 128
  unsigned char bytes[16] = {};
};

// Numeric IPv4 or IPv6; an IPv4-mapped IPv6 address counts as IPv4, a zone
// ("%eth0") is ignored.
bool ParseAddress(std::string text, Address& out) {
  if (size_t zone = text.find('%'); zone != std::string::npos) text.erase(zone);
  if (text.empty() || text.size() > 45) return false;
  out = Address();
  if (ParseNumericAddress(text, 4, out.bytes)) {
    out.bits = 32;
    return true;
  }
  unsigned char v6[16];
  if (!ParseNumericAddress(text, 6, v6)) return false;
  static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (std::memcmp(v6, kMapped, 12) == 0) {
    std::memcpy(out.bytes, v6 + 12, 4);
    out.bits = 32;
  } else {
    std::memcpy(out.bytes, v6, 16);
    out.bits = 128;
  }
  return true;
}

bool ParsePattern(const std::string& pattern, Address& address, int& prefix) {
  const size_t slash = pattern.find('/');
  if (!ParseAddress(pattern.substr(0, slash), address)) return false;
  prefix = address.bits;
  if (slash == std::string::npos) return true;
  const std::string digits = pattern.substr(slash + 1);
  if (digits.empty() || digits.size() > 3) return false;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  prefix = std::stoi(digits);
  // A prefix written against an IPv4-mapped form counts in IPv4 bits.
  if (address.bits == 32 && pattern.find(':') != std::string::npos) prefix -= 96;
  return prefix >= 0 && prefix <= address.bits;
}

bool Covers(const Address& net, int prefix, const Address& a) {
  if (net.bits != a.bits) return false;
  int full = prefix / 8;
  if (std::memcmp(net.bytes, a.bytes, static_cast<size_t>(full)) != 0) return false;
  int rest = prefix % 8;
  if (rest == 0) return true;
  const auto mask = static_cast<unsigned char>(0xFF << (8 - rest));
  return (net.bytes[full] & mask) == (a.bytes[full] & mask);
}

const char* ReasonText(int status) {
  switch (status) {
    case 400: return "Ungültige Anfrage.";
    case 403: return "Zugriff verweigert.";
    case 404: return "Nicht gefunden.";
    case 411: return "Anfragen ohne Längenangabe werden nicht angenommen.";
    case 413: return "Anfrage zu groß.";
    case 415: return "Kodierte Anfragen werden nicht angenommen.";
    case 500: return "Interner Fehler.";
    default: return "Fehler.";
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// %XX escapes decoded; false for a broken escape.
bool PercentDecode(const std::string& in, std::string& out) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out += in[i];
      continue;
    }
    if (i + 2 >= in.size()) return false;
    const int hi = HexValue(in[i + 1]), lo = HexValue(in[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

bool EndsWithText(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The addresses of this machine's interfaces and its host name, lower case.
std::vector<std::string> OwnNames() {
  std::vector<std::string> names;
  if (const std::string host = HostName(); !host.empty()) {
    names.push_back(LowerAscii(host));
    // The short name and the name with domain both reach this machine.
    const std::string full = names.back();
    if (size_t dot = full.find('.'); dot != std::string::npos) names.push_back(full.substr(0, dot));
  }
  for (const std::string& a : LocalAddresses()) names.push_back(a);
  return names;
}

bool SameAddress(const std::string& a, const std::string& b) {
  Address x, y;
  if (!ParseAddress(a, x) || !ParseAddress(b, y)) return false;
  return x.bits == y.bits && std::memcmp(x.bytes, y.bytes, 16) == 0;
}

}  // namespace

bool IsAnyAddress(const std::string& bind) {
  Address a;
  if (bind.empty()) return true;
  if (!ParseAddress(bind, a)) return false;
  for (int i = 0; i < a.bits / 8; ++i) {
    if (a.bytes[i] != 0) return false;
  }
  return true;
}

std::string LowerAscii(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string PeerAddress(const sockaddr* address) {
  std::string out = address ? FormatNumericAddress(address) : "";
  if (out.compare(0, 7, "::ffff:") == 0 && out.find('.') != std::string::npos) out.erase(0, 7);
  return out;
}

Status CheckServerOptions(const HttpServerOptions& options) {
  for (const std::string& p : options.allowedAddresses) {
    if (!ValidAddressPattern(p))
      return Status::Error("Statusseite: '" + p + "' ist keine Adresse und kein Adressbereich");
  }
  return Status::Ok();
}

Status BindError(const HttpServerOptions& options) {
  return Status::Error("Statusseite: Adresse " + options.bindAddress + " Port " + std::to_string(options.port) +
                       " kann nicht belegt werden (bereits belegt oder keine Adresse dieses Rechners)");
}

Refusal AdmitRequest(const HttpServerOptions& options, const std::string& url, HttpRequest& r) {
  if (!AddressAllowed(r.remoteAddress, options.allowedAddresses)) {
    return {403, "Zugriff verweigert: die Statusseite ist für diese Adresse nicht freigegeben."};
  }
  // A page of another site that a browser on this computer reaches under a
  // name of its own (DNS rebinding) must not read the page or act on it.
  if (!HostAllowed(r.Header("host"), options.bindAddress)) return {403, "Zugriff verweigert: unbekannter Host-Name."};
  if (url.empty() || url[0] != '/' || !PercentDecode(url, r.path) || !SafeRequestPath(r.path, options.maxPathLength)) {
    return {400, "Ungültiger Pfad."};
  }
  // Chunked and compressed bodies could grow past any limit while they are read.
  if (r.headers.count("transfer-encoding")) return {411, ReasonText(411)};
  if (r.headers.count("content-encoding")) return {415, ReasonText(415)};
  if (auto it = r.headers.find("content-length"); it != r.headers.end()) {
    const std::string& v = it->second;
    if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos) return {400, "Ungültige Längenangabe."};
    if (v.size() > 15 || std::stoull(v) > options.maxBodyBytes) return {413, ReasonText(413)};
  }
  return {};
}

// The texts are the program's own (Windows-1252); the answer says UTF-8.
HttpResponse RefusalResponse(const Refusal& refusal) {
  const std::string text = refusal.text.empty() ? ReasonText(refusal.status) : refusal.text;
  return HttpResponse{refusal.status, "text/plain; charset=utf-8", Cp1252ToUtf8(text) + "\n", {}};
}

HttpResponse CallHandler(const HttpHandler& handler, const HttpRequest& request) {
  try {
    return handler ? handler(request) : HttpResponse{404, "text/plain; charset=utf-8", Cp1252ToUtf8(ReasonText(404)), {}};
  } catch (...) {
    return HttpResponse{500, "text/plain; charset=utf-8", Cp1252ToUtf8(ReasonText(500)) + "\n", {}};
  }
}

bool SafeResponseHeader(const std::string& name, const std::string& value) {
  return !name.empty() && name.find_first_of("\r\n: ") == std::string::npos &&
         value.find_first_of("\r\n") == std::string::npos;
}

bool IsLoopbackAddress(const std::string& address) {
  Address a;
  if (!ParseAddress(address, a)) return false;
  if (a.bits == 32) return a.bytes[0] == 127;
  static const unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return std::memcmp(a.bytes, kLoopback6, 16) == 0;
}

bool ValidAddressPattern(const std::string& pattern) {
  Address a;
  int prefix = 0;
  return ParsePattern(pattern, a, prefix);
}

bool AddressAllowed(const std::string& address, const std::vector<std::string>& patterns) {
  if (IsLoopbackAddress(address)) return true;
  Address a;
  if (!ParseAddress(address, a)) return false;
  for (const std::string& p : patterns) {
    Address net;
    int prefix = 0;
    if (ParsePattern(p, net, prefix) && Covers(net, prefix, a)) return true;
  }
  return false;
}

int ConnectionLimit(int requested, int descriptorLimit) {
  // A quarter leaves the rest to the database, order files, printers and logs,
  // with 64 descriptors too.
  const int cap = std::max(4, descriptorLimit / 4);
  return requested > 0 ? std::min(requested, cap) : cap;
}

bool SafeRequestPath(const std::string& path, size_t maxLength) {
  if (path.empty() || path[0] != '/' || path.size() > maxLength) return false;
  for (char c : path) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
                    c == '.' || c == '-' || c == '_';
    if (!ok) return false;
  }
  return path.find("..") == std::string::npos;
}

bool HostAllowed(const std::string& host, const std::string& bindAddress) {
  std::string name = LowerAscii(host);
  if (name.empty()) return false;
  if (name[0] == '[') {
    const size_t close = name.find(']');
    if (close == std::string::npos) return false;
    const std::string rest = name.substr(close + 1);
    if (!rest.empty() && (rest[0] != ':' || rest.find_first_not_of("0123456789", 1) != std::string::npos)) return false;
    name = name.substr(1, close - 1);
  } else if (size_t colon = name.find(':'); colon != std::string::npos) {
    // A bare IPv6 address is no Host; "name:port" is.
    if (name.find(':', colon + 1) != std::string::npos ||
        name.find_first_not_of("0123456789", colon + 1) != std::string::npos) {
      return false;
    }
    name.erase(colon);
  }
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name.empty()) return false;
  // Names that always mean this machine (a browser never asks DNS for them).
  if (name == "localhost" || EndsWithText(name, ".localhost") || name == "localhost.localdomain" ||
      name == "ip6-localhost" || name == "ip6-loopback" || IsLoopbackAddress(name)) {
    return true;
  }
  const std::string bind = LowerAscii(bindAddress);
  if (name == bind || SameAddress(name, bind)) return true;
  if (!IsAnyAddress(bind)) return false;
  for (const std::string& own : OwnNames()) {
    if (name == own || SameAddress(name, own)) return true;
  }
  return false;
}

}  // namespace tolven::platform
