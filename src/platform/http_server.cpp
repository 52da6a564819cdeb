#include "platform/http_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <thread>

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
    case 400:
      return "Ungültige Anfrage.";
    case 403:
      return "Zugriff verweigert.";
    case 404:
      return "Nicht gefunden.";
    case 405:
      return "Methode nicht erlaubt.";
    case 411:
      return "Anfragen ohne Längenangabe werden nicht angenommen.";
    case 413:
      return "Anfrage zu groß.";
    case 414:
      return "Adresse zu lang.";
    case 415:
      return "Kodierte Anfragen werden nicht angenommen.";
    case 500:
      return "Interner Fehler.";
    default:
      return "Fehler.";
  }
}

void Refuse(httplib::Response& res, int status, const std::string& text) {
  res.status = status;
  res.set_content(text + "\n", "text/plain; charset=utf-8");
  // Whatever the client still sends belongs to this refused request.
  res.set_header("Connection", "close");
}

class HttplibServer final : public HttpServer {
 public:
  HttplibServer(HttpServerOptions options, HttpHandler handler)
      : options_(std::move(options)), handler_(std::move(handler)) {}
  ~HttplibServer() override { Stop(); }

  bool Bind(Status& error) {
    const int threads = options_.threads < 1 ? 1 : options_.threads;
    server_.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<size_t>(threads)); };
    // One request per connection: an idle browser connection must not hold
    // one of the few server threads.
    server_.set_keep_alive_max_count(1);
    server_.set_read_timeout(options_.readTimeoutSeconds, 0);
    server_.set_write_timeout(options_.readTimeoutSeconds, 0);
    // The library would also set SO_REUSEPORT, which lets a second process bind
    // the same port and take part of the requests; only a quick restart after
    // a stop needs SO_REUSEADDR.
    server_.set_socket_options([](socket_t sock) {
      int yes = 1;
      ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server_.set_payload_max_length(options_.maxBodyBytes);
    server_.set_expect_100_continue_handler([this](const httplib::Request& req, httplib::Response&) {
      return ContentLength(req) <= static_cast<long long>(options_.maxBodyBytes) ? 100 : 413;
    });
    server_.set_pre_routing_handler(
        [this](const httplib::Request& req, httplib::Response& res) { return PreRoute(req, res); });
    auto dispatch = [this](const httplib::Request& req, httplib::Response& res) { Dispatch(req, res); };
    // Only paths that passed the checks above get here, so the pattern never
    // meets a long or strange path.
    server_.Get(".*", dispatch);
    server_.Post(".*", dispatch);
    server_.Put(".*", dispatch);
    server_.Patch(".*", dispatch);
    server_.Delete(".*", dispatch);
    server_.Options(".*", dispatch);
    server_.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
      if (res.body.empty()) {
        res.set_content(std::string(ReasonText(res.status)) + "\n", "text/plain; charset=utf-8");
      }
      return httplib::Server::HandlerResponse::Handled;
    }));

    if (options_.port == 0) {
      port_ = server_.bind_to_any_port(options_.bindAddress);
    } else {
      port_ = server_.bind_to_port(options_.bindAddress, options_.port) ? options_.port : -1;
    }
    if (port_ <= 0) {
      error = Status::Error("Statusseite: Adresse " + options_.bindAddress + " Port " + std::to_string(options_.port) +
                            " kann nicht belegt werden (bereits belegt oder keine Adresse dieses Rechners)");
      return false;
    }
    return true;
  }

  void Run() {
    thread_ = std::thread([this] {
      // Stop signals belong to the processing thread; the pool threads started
      // from here inherit the mask.
      sigset_t set;
      sigemptyset(&set);
      for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM, SIGCHLD}) {
        sigaddset(&set, sig);
      }
      pthread_sigmask(SIG_BLOCK, &set, nullptr);
      server_.listen_after_bind();
    });
    // A stop right after the start must find the server running, or it would be missed.
    for (int k = 0; k < 500 && !server_.is_running(); ++k) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  int port() const override { return port_; }

  void Stop() override {
    if (!thread_.joinable()) return;
    server_.stop();
    thread_.join();
  }

 private:
  static long long ContentLength(const httplib::Request& req) {
    if (!req.has_header("Content-Length")) return 0;
    const std::string v = req.get_header_value("Content-Length");
    if (v.empty() || v.size() > 15) return -1;
    for (char c : v) {
      if (c < '0' || c > '9') return -1;
    }
    return std::stoll(v);
  }

  httplib::Server::HandlerResponse PreRoute(const httplib::Request& req, httplib::Response& res) {
    using R = httplib::Server::HandlerResponse;
    if (!AddressAllowed(req.remote_addr, options_.allowedAddresses)) {
      Refuse(res, 403, "Zugriff verweigert: die Statusseite ist für diese Adresse nicht freigegeben.");
      return R::Handled;
    }
    if (!SafeRequestPath(req.path, options_.maxPathLength)) {
      Refuse(res, 400, "Ungültiger Pfad.");
      return R::Handled;
    }
    // Chunked and compressed bodies could grow past any limit while they are read.
    if (req.has_header("Transfer-Encoding")) {
      Refuse(res, 411, ReasonText(411));
      return R::Handled;
    }
    if (req.has_header("Content-Encoding")) {
      Refuse(res, 415, ReasonText(415));
      return R::Handled;
    }
    const long long length = ContentLength(req);
    if (length < 0) {
      Refuse(res, 400, "Ungültige Längenangabe.");
      return R::Handled;
    }
    if (length > static_cast<long long>(options_.maxBodyBytes)) {
      Refuse(res, 413, ReasonText(413));
      return R::Handled;
    }
    // With a body the library reads it (within the limit) and then calls Dispatch.
    if (length > 0) return R::Unhandled;
    Dispatch(req, res);
    return R::Handled;
  }

  void Dispatch(const httplib::Request& req, httplib::Response& res) {
    HttpRequest r;
    r.method = req.method;
    r.path = req.path;
    r.remoteAddress = req.remote_addr;
    for (const auto& [name, value] : req.headers) {
      std::string lower = name;
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      r.headers.emplace(lower, value);
    }
    r.body = req.body;
    HttpResponse out;
    try {
      out = handler_ ? handler_(r) : HttpResponse{404, "text/plain; charset=utf-8", ReasonText(404), {}};
    } catch (...) {
      out = HttpResponse{500, "text/plain; charset=utf-8", ReasonText(500), {}};
    }
    res.status = out.status;
    for (const auto& [name, value] : out.headers) res.set_header(name.c_str(), value);
    res.set_content(out.body, out.contentType.c_str());
  }

  HttpServerOptions options_;
  HttpHandler handler_;
  httplib::Server server_;
  std::thread thread_;
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
  auto server = std::make_unique<HttplibServer>(options, std::move(handler));
  if (!server->Bind(error)) return nullptr;
  server->Run();
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

}  // namespace tolven::platform
