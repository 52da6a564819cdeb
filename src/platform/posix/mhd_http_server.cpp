// The status page's HTTP server on libmicrohttpd.
#include <microhttpd.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "platform/http_server.h"
#include "platform/http_server_internal.h"

namespace tolven::platform {

namespace {

// Per request: what the first call of the handler found, and the body so far.
struct Exchange {
  HttpRequest request;
  Refusal refusal;
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
      error = BindError(options_);
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
    const int connections = ConnectionLimit(options_.maxConnections, OpenDescriptorLimit());
    daemon_ = MHD_start_daemon(MHD_USE_EPOLL_INTERNAL_THREAD, 0, nullptr, nullptr, &MhdServer::Access, this,  //
                               MHD_OPTION_LISTEN_SOCKET, listenFd_,                                           //
                               MHD_OPTION_THREAD_POOL_SIZE, threads,                                          //
                               MHD_OPTION_CONNECTION_TIMEOUT, timeout,                                        //
                               MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(connections),               //
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

  // The path is decoded by AdmitRequest, strictly; the library's lenient
  // decoding would hide a broken escape.
  static size_t KeepEscapes(void*, MHD_Connection*, char* s) { return std::strlen(s); }

  static void Completed(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
    delete static_cast<Exchange*>(*context);
    *context = nullptr;
  }

  static MHD_Result CollectHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto* r = static_cast<HttpRequest*>(cls);
    r->headers.emplace(LowerAscii(key ? key : ""), value ? value : "");
    return MHD_YES;
  }

  static MHD_Result Access(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                           const char* upload, size_t* uploadSize, void** context) {
    auto* self = static_cast<MhdServer*>(cls);
    auto* ex = static_cast<Exchange*>(*context);
    if (ex == nullptr) {
      ex = new Exchange;
      *context = ex;
      HttpRequest& r = ex->request;
      r.method = method ? method : "";
      const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
      r.remoteAddress = info ? PeerAddress(info->client_addr) : "";
      MHD_get_connection_values(connection, MHD_HEADER_KIND, &MhdServer::CollectHeader, &r);
      ex->refusal = AdmitRequest(self->options_, url ? url : "", r);
      // A refusal goes out before any body is read.
      if (ex->refusal.status != 0) return Answer(connection, RefusalResponse(ex->refusal));
      return MHD_YES;
    }
    if (*uploadSize > 0) {
      if (ex->request.body.size() + *uploadSize > self->options_.maxBodyBytes) {
        ex->refusal.status = 413;
      } else if (ex->refusal.status == 0) {
        ex->request.body.append(upload, *uploadSize);
      }
      *uploadSize = 0;
      return MHD_YES;
    }
    if (ex->refusal.status != 0) return Answer(connection, RefusalResponse(ex->refusal));
    return Answer(connection, CallHandler(self->handler_, ex->request));
  }

  static MHD_Result Answer(MHD_Connection* connection, const HttpResponse& out) {
    MHD_Response* response =
        MHD_create_response_from_buffer(out.body.size(), const_cast<char*>(out.body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    MHD_add_response_header(response, "Content-Type", out.contentType.c_str());
    // One request per connection, as a page that refreshes itself needs.
    MHD_add_response_header(response, "Connection", "close");
    for (const auto& [name, value] : out.headers) {
      if (SafeResponseHeader(name, value)) MHD_add_response_header(response, name.c_str(), value.c_str());
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

int OpenDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1 << 20;
  return limit.rlim_cur > (1u << 20) ? 1 << 20 : static_cast<int>(limit.rlim_cur);
}

std::unique_ptr<HttpServer> HttpServer::Start(const HttpServerOptions& options, HttpHandler handler, Status& error) {
  if (Status st = CheckServerOptions(options); !st.ok()) {
    error = st;
    return nullptr;
  }
  // A client that goes away mid-answer must not end the process.
  signal(SIGPIPE, SIG_IGN);
  auto server = std::make_unique<MhdServer>(options, std::move(handler));
  if (!server->Bind(error) || !server->Run(error)) return nullptr;
  return server;
}

}  // namespace tolven::platform
