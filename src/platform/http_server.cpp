#include "platform/http_server.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <microhttpd.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

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
  if (inet_pton(AF_INET, text.c_str(), out.bytes) == 1) {
    out.bits = 32;
    return true;
  }
  unsigned char v6[16];
  if (inet_pton(AF_INET6, text.c_str(), v6) != 1) return false;
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

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string NumericAddress(const sockaddr* sa) {
  char text[INET6_ADDRSTRLEN] = {};
  if (sa == nullptr) return "";
  if (sa->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, text, sizeof text);
  } else if (sa->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, text, sizeof text);
  }
  std::string out = text;
  // A client of a dual-stack socket shows as IPv4, as it connected.
  if (out.compare(0, 7, "::ffff:") == 0 && out.find('.') != std::string::npos) out.erase(0, 7);
  return out;
}

bool EndsWithText(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool IsAnyAddress(const std::string& bind) {
  Address a;
  if (bind.empty()) return true;
  if (!ParseAddress(bind, a)) return false;
  for (int i = 0; i < a.bits / 8; ++i) {
    if (a.bytes[i] != 0) return false;
  }
  return true;
}

// The addresses of this machine's interfaces and its host name, lower case.
std::vector<std::string> OwnNames() {
  std::vector<std::string> names;
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) == 0 && host[0]) {
    names.push_back(Lower(host));
    // The short name and the name with domain both reach this machine.
    const std::string full = names.back();
    if (size_t dot = full.find('.'); dot != std::string::npos) names.push_back(full.substr(0, dot));
  }
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) == 0) {
    for (ifaddrs* i = list; i; i = i->ifa_next) {
      if (i->ifa_addr && (i->ifa_addr->sa_family == AF_INET || i->ifa_addr->sa_family == AF_INET6)) {
        names.push_back(NumericAddress(i->ifa_addr));
      }
    }
    ::freeifaddrs(list);
  }
  return names;
}

bool SameAddress(const std::string& a, const std::string& b) {
  Address x, y;
  if (!ParseAddress(a, x) || !ParseAddress(b, y)) return false;
  return x.bits == y.bits && std::memcmp(x.bytes, y.bytes, 16) == 0;
}

// Per request: what the first call of the handler found, and the body so far.
struct Exchange {
  HttpRequest request;
  int refusal = 0;
  std::string refusalText;
};

// libmicrohttpd serves the connections: on a few threads that wait on all
// connections at once, so a slow client holds a connection and a little
// memory, never a thread.
class MhdServer final : public HttpServer {
 public:
  MhdServer(HttpServerOptions options, HttpHandler handler)
      : options_(std::move(options)), handler_(std::move(handler)) {}
  ~MhdServer() override {
    Stop();
    if (listenFd_ >= 0) ::close(listenFd_);
  }

  bool Bind(Status& error) {
    auto fail = [&] {
      error = Status::Error("Statusseite: Adresse " + options_.bindAddress + " Port " + std::to_string(options_.port) +
                            " kann nicht belegt werden (bereits belegt oder keine Adresse dieses Rechners)");
      return false;
    };
    if (options_.port < 0 || options_.port > 65535) return fail();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(options_.port);
    const char* host = options_.bindAddress.empty() ? nullptr : options_.bindAddress.c_str();
    if (::getaddrinfo(host, port.c_str(), &hints, &found) != 0) return fail();
    for (addrinfo* ai = found; ai && listenFd_ < 0; ai = ai->ai_next) {
      int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
      if (fd < 0) continue;
      // Only a quick restart after a stop needs this; SO_REUSEPORT would let a
      // second process bind the same port and take part of the requests.
      int yes = 1;
      ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
      if (::bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && ::listen(fd, 64) == 0) {
        listenFd_ = fd;
      } else {
        ::close(fd);
      }
    }
    ::freeaddrinfo(found);
    if (listenFd_ < 0) return fail();
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &len);
    port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                              : reinterpret_cast<sockaddr_in&>(bound).sin_port);
    return true;
  }

  bool Run(Status& error) {
    // Stop signals belong to the processing thread; the server's threads start
    // with them blocked.
    sigset_t set, old;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM, SIGCHLD})
      sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, &old);
    const unsigned threads = static_cast<unsigned>(options_.threads < 1 ? 1 : options_.threads);
    const unsigned timeout = static_cast<unsigned>(options_.readTimeoutSeconds < 1 ? 1 : options_.readTimeoutSeconds);
    daemon_ = MHD_start_daemon(MHD_USE_EPOLL_INTERNAL_THREAD, 0, nullptr, nullptr, &MhdServer::Access, this,  //
                               MHD_OPTION_LISTEN_SOCKET, listenFd_,                                           //
                               MHD_OPTION_THREAD_POOL_SIZE, threads,                                          //
                               MHD_OPTION_CONNECTION_TIMEOUT, timeout,                                        //
                               MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(options_.maxConnections),   //
                               MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,                         //
                               MHD_OPTION_UNESCAPE_CALLBACK, &MhdServer::KeepEscapes, nullptr,                //
                               MHD_OPTION_NOTIFY_COMPLETED, &MhdServer::Completed, nullptr,                   //
                               MHD_OPTION_END);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (!daemon_) {
      error = Status::Error("Statusseite: der Webserver startet nicht");
      return false;
    }
    listenFd_ = -1;  // the daemon closes it
    return true;
  }

  int port() const override { return port_; }

  void Stop() override {
    if (!daemon_) return;
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
  }

 private:
  // The request line and headers of one connection must fit in here; a longer
  // head gets 414 or 431 from the library. Connections in use x this is the
  // page's worst-case memory for them.
  static constexpr size_t kConnectionMemory = 8 * 1024;

  // The path is decoded here, strictly; the library's lenient decoding would
  // hide a broken escape.
  static size_t KeepEscapes(void*, MHD_Connection*, char* s) { return std::strlen(s); }

  static void Completed(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
    delete static_cast<Exchange*>(*context);
    *context = nullptr;
  }

  static MHD_Result CollectHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto* r = static_cast<HttpRequest*>(cls);
    r->headers.emplace(Lower(key ? key : ""), value ? value : "");
    return MHD_YES;
  }

  static MHD_Result Access(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                           const char* upload, size_t* uploadSize, void** context) {
    auto* self = static_cast<MhdServer*>(cls);
    auto* ex = static_cast<Exchange*>(*context);
    if (ex == nullptr) {
      ex = new Exchange;
      *context = ex;
      self->Admit(connection, url ? url : "", method ? method : "", *ex);
      // A refusal goes out before any body is read.
      if (ex->refusal != 0) return self->Refuse(connection, *ex);
      return MHD_YES;
    }
    if (*uploadSize > 0) {
      if (ex->request.body.size() + *uploadSize > self->options_.maxBodyBytes) {
        ex->refusal = 413;
      } else if (ex->refusal == 0) {
        ex->request.body.append(upload, *uploadSize);
      }
      *uploadSize = 0;
      return MHD_YES;
    }
    if (ex->refusal != 0) return self->Refuse(connection, *ex);
    HttpResponse out;
    try {
      out = self->handler_ ? self->handler_(ex->request)
                           : HttpResponse{404, "text/plain; charset=utf-8", ReasonText(404), {}};
    } catch (...) {
      out = HttpResponse{500, "text/plain; charset=utf-8", std::string(ReasonText(500)) + "\n", {}};
    }
    return Answer(connection, out);
  }

  // Everything about the request that is known before its body.
  void Admit(MHD_Connection* connection, const std::string& url, const std::string& method, Exchange& ex) {
    HttpRequest& r = ex.request;
    r.method = method;
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    r.remoteAddress = info ? NumericAddress(info->client_addr) : "";
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &MhdServer::CollectHeader, &r);
    auto refuse = [&ex](int status, const std::string& text) {
      ex.refusal = status;
      ex.refusalText = text;
    };
    if (!AddressAllowed(r.remoteAddress, options_.allowedAddresses)) {
      return refuse(403, "Zugriff verweigert: die Statusseite ist für diese Adresse nicht freigegeben.");
    }
    // A page of another site that a browser on this computer reaches under a
    // name of its own (DNS rebinding) must not read the page or act on it.
    if (!HostAllowed(r.Header("host"), options_.bindAddress)) {
      return refuse(403, "Zugriff verweigert: unbekannter Host-Name.");
    }
    if (url.empty() || url[0] != '/' || !PercentDecode(url, r.path) ||
        !SafeRequestPath(r.path, options_.maxPathLength)) {
      return refuse(400, "Ungültiger Pfad.");
    }
    // Chunked and compressed bodies could grow past any limit while they are read.
    if (r.headers.count("transfer-encoding")) return refuse(411, ReasonText(411));
    if (r.headers.count("content-encoding")) return refuse(415, ReasonText(415));
    if (auto it = r.headers.find("content-length"); it != r.headers.end()) {
      const std::string& v = it->second;
      if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos) {
        return refuse(400, "Ungültige Längenangabe.");
      }
      if (v.size() > 15 || std::stoull(v) > options_.maxBodyBytes) return refuse(413, ReasonText(413));
    }
  }

  MHD_Result Refuse(MHD_Connection* connection, const Exchange& ex) {
    const std::string text = ex.refusalText.empty() ? ReasonText(ex.refusal) : ex.refusalText;
    return Answer(connection, HttpResponse{ex.refusal, "text/plain; charset=utf-8", text + "\n", {}});
  }

  static MHD_Result Answer(MHD_Connection* connection, const HttpResponse& out) {
    MHD_Response* response =
        MHD_create_response_from_buffer(out.body.size(), const_cast<char*>(out.body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    MHD_add_response_header(response, "Content-Type", out.contentType.c_str());
    // One request per connection, as a page that refreshes itself needs.
    MHD_add_response_header(response, "Connection", "close");
    for (const auto& [name, value] : out.headers) {
      // A handler's header never splits the answer.
      if (name.empty() || name.find_first_of("\r\n: ") != std::string::npos ||
          value.find_first_of("\r\n") != std::string::npos) {
        continue;
      }
      MHD_add_response_header(response, name.c_str(), value.c_str());
    }
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(out.status), response);
    MHD_destroy_response(response);
    return queued;
  }

  HttpServerOptions options_;
  HttpHandler handler_;
  MHD_Daemon* daemon_ = nullptr;
  int listenFd_ = -1;
  int port_ = -1;
};

}  // namespace

std::unique_ptr<HttpServer> HttpServer::Start(const HttpServerOptions& options, HttpHandler handler, Status& error) {
  for (const std::string& p : options.allowedAddresses) {
    if (!ValidAddressPattern(p)) {
      error = Status::Error("Statusseite: '" + p + "' ist keine Adresse und kein Adressbereich");
      return nullptr;
    }
  }
  // A client that goes away mid-answer must not end the process.
  signal(SIGPIPE, SIG_IGN);
  auto server = std::make_unique<MhdServer>(options, std::move(handler));
  if (!server->Bind(error) || !server->Run(error)) return nullptr;
  return server;
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
  std::string name = Lower(host);
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
  const std::string bind = Lower(bindAddress);
  if (name == bind || SameAddress(name, bind)) return true;
  if (!IsAnyAddress(bind)) return false;
  for (const std::string& own : OwnNames()) {
    if (name == own || SameAddress(name, own)) return true;
  }
  return false;
}

}  // namespace tolven::platform
