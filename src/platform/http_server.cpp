#include "platform/http_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
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
    case 408:
      return "Anfrage nicht rechtzeitig vollständig.";
    case 411:
      return "Anfragen ohne Längenangabe werden nicht angenommen.";
    case 413:
      return "Anfrage zu groß.";
    case 414:
      return "Adresse zu lang.";
    case 415:
      return "Kodierte Anfragen werden nicht angenommen.";
    case 431:
      return "Kopfzeilen zu groß.";
    case 500:
      return "Interner Fehler.";
    case 505:
      return "HTTP-Version nicht unterstützt.";
    default:
      return "Fehler.";
  }
}

const char* StatusPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 415: return "Unsupported Media Type";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Status";
  }
}

constexpr size_t kMaxHeadBytes = 8192;
constexpr size_t kMaxHeaderLines = 100;

bool IsTokenChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
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

std::string TrimOws(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

// -1: not a plain decimal number (or absurdly long).
long long ParseContentLength(const std::string& v) {
  if (v.empty() || v.size() > 15) return -1;
  for (char c : v) {
    if (c < '0' || c > '9') return -1;
  }
  return std::stoll(v);
}

// One client connection: reads one request within the time limit, answers it
// and closes. Runs on a server thread.
class Exchange {
 public:
  Exchange(int fd, std::string remote, const HttpServerOptions& options, const HttpHandler& handler)
      : fd_(fd), remote_(std::move(remote)), options_(options), handler_(handler) {
    timeout_ = std::chrono::seconds(options.readTimeoutSeconds < 1 ? 1 : options.readTimeoutSeconds);
    // However slowly a client trickles its request in, it holds a thread for
    // at most twice the read time-out.
    deadline_ = std::chrono::steady_clock::now() + 2 * timeout_;
  }

  void Run() {
    HttpRequest request;
    const int status = ReadRequest(request);
    if (status == 0) return;  // the client went away or sent nothing: nobody to answer
    if (status != 200) {
      Answer(request.method, HttpResponse{status, "text/plain; charset=utf-8", Refusal(status), {}});
      return;
    }
    HttpResponse out;
    try {
      out = handler_ ? handler_(request) : HttpResponse{404, "text/plain; charset=utf-8", ReasonText(404), {}};
    } catch (...) {
      out = HttpResponse{500, "text/plain; charset=utf-8", std::string(ReasonText(500)) + "\n", {}};
    }
    Answer(request.method, out);
  }

 private:
  std::string Refusal(int status) const {
    if (status == 403) return "Zugriff verweigert: die Statusseite ist für diese Adresse nicht freigegeben.\n";
    if (status == 400 && !refusal_.empty()) return refusal_ + "\n";
    return std::string(ReasonText(status)) + "\n";
  }

  // Waits until the socket is ready within the time limits.
  bool Wait(short events) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline_) return false;
    auto left = std::min(std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - now),
                         std::chrono::duration_cast<std::chrono::milliseconds>(timeout_));
    pollfd p{fd_, events, 0};
    int r;
    do {
      r = ::poll(&p, 1, static_cast<int>(left.count()) + 1);
    } while (r < 0 && errno == EINTR);
    return r > 0;
  }

  // More bytes into buf_; false when the client closed, failed or was too slow.
  bool ReadMore() {
    if (!Wait(POLLIN)) {
      timedOut_ = true;
      return false;
    }
    char chunk[4096];
    ssize_t n;
    do {
      n = ::recv(fd_, chunk, sizeof chunk, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    buf_.append(chunk, static_cast<size_t>(n));
    return true;
  }

  bool SendAll(const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
      if (!Wait(POLLOUT)) return false;
      ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  int Bad(const std::string& why) {
    refusal_ = why;
    return 400;
  }

  // 200 with `request` filled, 0 for nothing to answer, else the refusal.
  int ReadRequest(HttpRequest& request) {
    size_t headEnd;
    while ((headEnd = buf_.find("\r\n\r\n")) == std::string::npos) {
      if (buf_.size() > kMaxHeadBytes) return buf_.find("\r\n") == std::string::npos ? 414 : 431;
      if (!ReadMore()) return buf_.empty() ? 0 : (timedOut_ ? 408 : 0);
    }
    if (headEnd > kMaxHeadBytes) return buf_.find("\r\n") > kMaxHeadBytes ? 414 : 431;
    const std::string head = buf_.substr(0, headEnd);
    buf_.erase(0, headEnd + 4);

    size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const size_t sp1 = requestLine.find(' ');
    const size_t sp2 = sp1 == std::string::npos ? sp1 : requestLine.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || requestLine.find(' ', sp2 + 1) != std::string::npos) return Bad("");
    request.method = requestLine.substr(0, sp1);
    const std::string target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string version = requestLine.substr(sp2 + 1);
    if (request.method.empty() || request.method.size() > 16) return Bad("");
    for (char c : request.method) {
      if (c < 'A' || c > 'Z') return Bad("");
    }
    if (version.compare(0, 5, "HTTP/") != 0) return Bad("");
    if (version != "HTTP/1.1" && version != "HTTP/1.0") return 505;
    request.remoteAddress = remote_;

    size_t lines = 0;
    while (lineEnd != std::string::npos) {
      const size_t start = lineEnd + 2;
      lineEnd = head.find("\r\n", start);
      const std::string line = head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
      if (++lines > kMaxHeaderLines) return 431;
      const size_t colon = line.find(':');
      if (colon == 0 || colon == std::string::npos) return Bad("");
      std::string name = line.substr(0, colon);
      for (char& c : name) {
        if (!IsTokenChar(c)) return Bad("");
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
      std::string value = TrimOws(line.substr(colon + 1));
      if (value.find('\0') != std::string::npos) return Bad("");
      auto [it, fresh] = request.headers.emplace(name, value);
      // Two different lengths would let a proxy and this server disagree on
      // where the request ends.
      if (!fresh && name == "content-length" && it->second != value) return Bad("Ungültige Längenangabe.");
    }

    if (!AddressAllowed(remote_, options_.allowedAddresses)) return 403;
    if (target.empty() || target[0] != '/' ||
        !PercentDecode(target.substr(0, target.find('?')), request.path) ||
        !SafeRequestPath(request.path, options_.maxPathLength)) {
      return Bad("Ungültiger Pfad.");
    }
    // Chunked and compressed bodies could grow past any limit while they are read.
    if (request.headers.count("transfer-encoding")) return 411;
    if (request.headers.count("content-encoding")) return 415;
    long long length = 0;
    if (auto it = request.headers.find("content-length"); it != request.headers.end()) {
      length = ParseContentLength(it->second);
      if (length < 0) return Bad("Ungültige Längenangabe.");
    }
    if (length > static_cast<long long>(options_.maxBodyBytes)) return 413;
    if (length > 0 && buf_.empty() && request.Header("expect") == "100-continue") {
      if (!SendAll("HTTP/1.1 100 Continue\r\n\r\n")) return 0;
    }
    const auto wanted = static_cast<size_t>(length);
    while (buf_.size() < wanted) {
      if (!ReadMore()) return timedOut_ ? 408 : 0;
    }
    request.body = buf_.substr(0, wanted);
    buf_.erase(0, wanted);
    return 200;
  }

  void Answer(const std::string& method, const HttpResponse& out) {
    std::string head = "HTTP/1.1 " + std::to_string(out.status) + " " + StatusPhrase(out.status) + "\r\n";
    head += "Content-Type: " + out.contentType + "\r\n";
    head += "Content-Length: " + std::to_string(out.body.size()) + "\r\n";
    head += "Connection: close\r\n";
    for (const auto& [name, value] : out.headers) {
      // A handler's header never splits the answer.
      if (name.find_first_of("\r\n:") != std::string::npos || value.find_first_of("\r\n") != std::string::npos) {
        continue;
      }
      head += name + ": " + value + "\r\n";
    }
    head += "\r\n";
    if (method != "HEAD") head += out.body;
    if (!SendAll(head)) return;
    // Whatever the client still sends (a refused body) is read and dropped for
    // a moment: closing with unread bytes would reset the connection and could
    // take the answer with it before the client has read it.
    ::shutdown(fd_, SHUT_WR);
    deadline_ = std::min(deadline_ + timeout_, std::chrono::steady_clock::now() + std::chrono::milliseconds(500));
    size_t drained = 0;
    while (drained < 65536 && Wait(POLLIN)) {
      char chunk[4096];
      ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      drained += static_cast<size_t>(n);
    }
  }

  int fd_;
  std::string remote_;
  const HttpServerOptions& options_;
  const HttpHandler& handler_;
  std::chrono::steady_clock::duration timeout_;
  std::chrono::steady_clock::time_point deadline_;
  std::string buf_;
  std::string refusal_;
  bool timedOut_ = false;
};

std::string NumericAddress(const sockaddr_storage& ss) {
  char text[INET6_ADDRSTRLEN] = {};
  if (ss.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(ss).sin_addr, text, sizeof text);
  } else if (ss.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(ss).sin6_addr, text, sizeof text);
  }
  std::string out = text;
  // A client of a dual-stack socket shows as IPv4, as it connected.
  if (out.compare(0, 7, "::ffff:") == 0 && out.find('.') != std::string::npos) out.erase(0, 7);
  return out;
}

// A fixed number of threads, each taking the next connection from the shared
// listening socket and serving it to the end; a stop wakes them all.
class SocketServer final : public HttpServer {
 public:
  SocketServer(HttpServerOptions options, HttpHandler handler)
      : options_(std::move(options)), handler_(std::move(handler)) {}
  ~SocketServer() override {
    Stop();
    if (listenFd_ >= 0) ::close(listenFd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
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
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return wakeFd_ >= 0 || fail();
  }

  void Run() {
    // Stop signals belong to the processing thread; the server threads start
    // with them blocked.
    sigset_t set, old;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM, SIGCHLD}) sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, &old);
    const int threads = options_.threads < 1 ? 1 : options_.threads;
    for (int k = 0; k < threads; ++k) threads_.emplace_back([this] { Serve(); });
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }

  int port() const override { return port_; }

  void Stop() override {
    if (threads_.empty()) return;
    stopping_ = true;
    // The counter stays set, so every thread wakes from its wait.
    const uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
    for (auto& t : threads_) t.join();
    threads_.clear();
  }

 private:
  void Serve() {
    while (!stopping_) {
      pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
      if (stopping_) break;
      if (!(fds[0].revents & POLLIN)) continue;
      sockaddr_storage peer{};
      socklen_t len = sizeof peer;
      // Another thread may have taken the connection first.
      const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
      if (fd < 0) {
        // Out of descriptors: give the others a moment instead of spinning.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        continue;
      }
      Exchange(fd, NumericAddress(peer), options_, handler_).Run();
      ::close(fd);
    }
  }

  HttpServerOptions options_;
  HttpHandler handler_;
  int listenFd_ = -1;
  int wakeFd_ = -1;
  int port_ = -1;
  std::atomic<bool> stopping_{false};
  std::vector<std::thread> threads_;
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
  auto server = std::make_unique<SocketServer>(options, std::move(handler));
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
