// The status page's HTTP server on Windows, through the system's HTTP server
// (http.sys). The system reads the connections and hands over whole request
// heads, so a slow client holds a connection of the system's and never one of
// the worker threads until its head is complete.
//
// How it differs from the server on Linux:
// - The system listens on the port for every address of the machine and sorts
//   requests by their Host header against the registered URLs. Bound to one
//   address, a request under another name gets the system's own 400 before
//   the checks here see it; bound to every address ("http://+:port/") every
//   Host comes here and is checked as on Linux.
// - Registering a URL needs a reservation for the account running the
//   gateway (netsh http add urlacl url=http://+:8080/ user=...) or
//   administrator rights; for loopback both "127.0.0.1" and "localhost" are
//   tried and one of them is enough.
// - Request heads the system finds broken (a Content-Length that is no
//   number, an over-long URL or head) get the system's 400 or 414.
// - maxConnections limits the connections through the URL group's connection
//   limit and the requests waiting in the queue; read time-outs are the
//   system's header and body timers, and a body that stalls longer than
//   readTimeoutSeconds is given up here as well.
#include "platform/win32/system.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <http.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/http_server.h"
#include "platform/http_server_internal.h"

namespace tolven::platform {

namespace {

const HTTPAPI_VERSION kVersion = HTTPAPI_VERSION_2;

// The names of the request headers the system reports by number, in the
// order of HTTP_HEADER_ID.
const char* const kRequestHeaders[HttpHeaderRequestMaximum] = {
    "cache-control", "connection", "date", "keep-alive", "pragma", "trailer", "transfer-encoding",
    "upgrade", "via", "warning", "allow", "content-length", "content-type", "content-encoding",
    "content-language", "content-location", "content-md5", "content-range", "expires", "last-modified",
    "accept", "accept-charset", "accept-encoding", "accept-language", "authorization", "cookie", "expect",
    "from", "host", "if-match", "if-modified-since", "if-none-match", "if-range", "if-unmodified-since",
    "max-forwards", "proxy-authorization", "referer", "range", "te", "translate", "user-agent"};

// And of the response headers; the system takes these only by number.
const char* const kResponseHeaders[HttpHeaderResponseMaximum] = {
    "cache-control", "connection", "date", "keep-alive", "pragma", "trailer", "transfer-encoding",
    "upgrade", "via", "warning", "allow", "content-length", "content-type", "content-encoding",
    "content-language", "content-location", "content-md5", "content-range", "expires", "last-modified",
    "accept-ranges", "age", "etag", "location", "proxy-authenticate", "retry-after", "server",
    "set-cookie", "vary", "www-authenticate"};

const char* const kVerbs[] = {"OPTIONS", "GET",  "HEAD", "POST",      "PUT",       "DELETE", "TRACE",
                              "CONNECT", "TRACK", "MOVE", "COPY", "PROPFIND", "PROPPATCH", "MKCOL",
                              "LOCK",    "UNLOCK", "SEARCH"};

static_assert(sizeof kVerbs / sizeof kVerbs[0] == HttpVerbMaximum - HttpVerbOPTIONS);

const char* StatusPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 415: return "Unsupported Media Type";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return status < 400 ? "OK" : "Error";
  }
}

// Winsock for the free-port probe; it stays started until the process ends.
bool StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

// A port nobody holds right now, 0 when none could be found.
int FreePort() {
  if (!StartWinsock()) return 0;
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  int len = sizeof a;
  int port = 0;
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  ::closesocket(s);
  return port;
}

// The bind address as the host of a URL.
std::string UrlHost(const std::string& bind) {
  return bind.find(':') != std::string::npos && bind[0] != '[' ? "[" + bind + "]" : bind;
}

// The hosts to register for the bind address; one of them is enough.
std::vector<std::string> UrlHosts(const std::string& bind) {
  if (IsAnyAddress(bind)) return {"+"};
  if (IsLoopbackAddress(bind)) return {UrlHost(bind), "localhost"};
  return {UrlHost(bind)};
}

class HttpApiServer final : public HttpServer {
 public:
  HttpApiServer(HttpServerOptions options, HttpHandler handler)
      : options_(std::move(options)), handler_(std::move(handler)) {}
  ~HttpApiServer() override { Stop(); }

  bool Open(Status& error) {
    // The system registers a URL for any host name; that the bind address is
    // one of this machine's is checked here, as binding checks it on Linux.
    if (options_.port < 0 || options_.port > 65535 ||
        (!IsAnyAddress(options_.bindAddress) && !HostAllowed(UrlHost(options_.bindAddress), ""))) {
      error = BindError(options_);
      return false;
    }
    // The first use starts the system's HTTP service; while the service manager
    // is busy starting another service (at boot, or another program's first
    // use) it says its database is locked for a moment.
    ULONG rc = HttpInitialize(kVersion, HTTP_INITIALIZE_SERVER, nullptr);
    for (int tries = 0; rc == ERROR_SERVICE_DATABASE_LOCKED && tries < 50; ++tries) {
      Sleep(100);
      rc = HttpInitialize(kVersion, HTTP_INITIALIZE_SERVER, nullptr);
    }
    if (rc != NO_ERROR) return Fail(error, rc);
    initialized_ = true;
    if ((rc = HttpCreateServerSession(kVersion, &session_, 0)) != NO_ERROR ||
        (rc = HttpCreateUrlGroup(session_, &group_, 0)) != NO_ERROR ||
        (rc = HttpCreateRequestQueue(kVersion, nullptr, nullptr, 0, &queue_)) != NO_ERROR) {
      return Fail(error, rc);
    }
    HTTP_BINDING_INFO binding{};
    binding.Flags.Present = 1;
    binding.RequestQueueHandle = queue_;
    if ((rc = HttpSetUrlGroupProperty(group_, HttpServerBindingProperty, &binding, sizeof binding)) != NO_ERROR) {
      return Fail(error, rc);
    }
    SetLimits();
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!stop_) {
      error = LastWin32Error("Statusseite: der Webserver startet nicht");
      return false;
    }
    return Register(error);
  }

  void Run() {
    const int threads = options_.threads < 1 ? 1 : options_.threads;
    for (int i = 0; i < threads; ++i) workers_.emplace_back([this] { Serve(); });
  }

  int port() const override { return port_; }

  // Closing the queue and the URL group ends the system's listening for us.
  void Stop() override {
    if (stop_) SetEvent(stop_);
    for (std::thread& t : workers_) t.join();
    workers_.clear();
    if (queue_) HttpCloseRequestQueue(queue_);
    if (group_ != HTTP_NULL_ID) HttpCloseUrlGroup(group_);
    if (session_ != HTTP_NULL_ID) HttpCloseServerSession(session_);
    if (stop_) CloseHandle(stop_);
    if (initialized_) HttpTerminate(HTTP_INITIALIZE_SERVER, nullptr);
    queue_ = nullptr;
    group_ = session_ = HTTP_NULL_ID;
    stop_ = nullptr;
    initialized_ = false;
  }

 private:
  bool Fail(Status& error, ULONG rc) {
    error = Win32Error("Statusseite: der Webserver startet nicht", rc);
    return false;
  }

  // What the system can be told of the limits; where it cannot (an older
  // system, a stand-in of the system), the server runs without them.
  void SetLimits() {
    const auto timeout = static_cast<USHORT>(options_.readTimeoutSeconds < 1     ? 1
                                             : options_.readTimeoutSeconds > 600 ? 600
                                                                                 : options_.readTimeoutSeconds);
    HTTP_TIMEOUT_LIMIT_INFO timeouts{};
    timeouts.Flags.Present = 1;
    timeouts.EntityBody = timeout;
    timeouts.HeaderWait = timeout;
    timeouts.IdleConnection = timeout;
    (void)HttpSetServerSessionProperty(session_, HttpServerTimeoutsProperty, &timeouts, sizeof timeouts);
    {
      const int connections = ConnectionLimit(options_.maxConnections, OpenDescriptorLimit());
      HTTP_CONNECTION_LIMIT_INFO limit{};
      limit.Flags.Present = 1;
      limit.MaxConnections = static_cast<ULONG>(connections);
      HTTP_QOS_SETTING_INFO qos{HttpQosSettingTypeConnectionLimit, &limit};
      (void)HttpSetUrlGroupProperty(group_, HttpServerQosProperty, &qos, sizeof qos);
      ULONG queued = static_cast<ULONG>(connections);
      (void)HttpSetRequestQueueProperty(queue_, HttpServerQueueLengthProperty, &queued, sizeof queued, 0, nullptr);
    }
  }

  // Registers the URLs of the bind address. Port 0 takes a port that is free
  // now; should another program take it first, another one is tried.
  bool Register(Status& error) {
    bool denied = false;
    std::string deniedUrl;
    for (int attempt = 0; attempt < (options_.port == 0 ? 5 : 1); ++attempt) {
      const int port = options_.port != 0 ? options_.port : FreePort();
      if (port == 0) break;
      bool registered = false;
      for (const std::string& host : UrlHosts(options_.bindAddress)) {
        const std::string url = "http://" + host + ":" + std::to_string(port) + "/";
        const ULONG rc = HttpAddUrlToUrlGroup(group_, Wide(url).c_str(), 0, 0);
        if (rc == NO_ERROR) {
          registered = true;
        } else if (rc == ERROR_ACCESS_DENIED && !denied) {
          denied = true;
          deniedUrl = url;
        }
      }
      if (registered) {
        port_ = port;
        return true;
      }
      if (denied) break;
    }
    if (denied) {
      error = Status::Error("Statusseite: " + deniedUrl +
                                " darf von diesem Benutzer nicht belegt werden; als Administrator einrichten: "
                                "netsh http add urlacl url=" +
                                deniedUrl + " user=<Benutzer des Gateways>",
                            ERROR_ACCESS_DENIED);
    } else {
      error = BindError(options_);
    }
    return false;
  }

  // Waits for a call begun on `ov`; ERROR_OPERATION_ABORTED when `timeoutMs`
  // passes first or, unless `evenWhenStopping`, the server stops (the call is
  // cancelled then).
  ULONG Await(OVERLAPPED& ov, ULONG rc, ULONG& bytes, DWORD timeoutMs, bool evenWhenStopping = false) {
    bytes = 0;
    if (rc != NO_ERROR && rc != ERROR_IO_PENDING) return rc;
    HANDLE both[2] = {ov.hEvent, stop_};
    if (WaitForMultipleObjects(evenWhenStopping ? 1 : 2, both, FALSE, timeoutMs) != WAIT_OBJECT_0) {
      CancelIoEx(queue_, &ov);
    }
    DWORD done = 0;
    const ULONG result = GetOverlappedResult(queue_, &ov, &done, TRUE) ? NO_ERROR : GetLastError();
    bytes = done;
    ResetEvent(ov.hEvent);
    return result;
  }

  void Serve() {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) return;
    // Room for a request head as long as the system lets through by default.
    std::vector<unsigned char> buffer(sizeof(HTTP_REQUEST) + 32 * 1024);
    while (WaitForSingleObject(stop_, 0) != WAIT_OBJECT_0) {
      HTTP_REQUEST_ID id = HTTP_NULL_ID;
      ULONG bytes = 0;
      ULONG rc = Await(ov, ReceiveHead(id, buffer, ov), bytes, INFINITE);
      if (rc == ERROR_MORE_DATA && bytes > buffer.size()) {
        id = reinterpret_cast<HTTP_REQUEST*>(buffer.data())->RequestId;
        buffer.resize(bytes);
        rc = Await(ov, ReceiveHead(id, buffer, ov), bytes, INFINITE);
      }
      if (rc == NO_ERROR) {
        Exchange(*reinterpret_cast<HTTP_REQUEST*>(buffer.data()), ov);
      } else if (rc == ERROR_INVALID_HANDLE) {
        // Nothing more comes from this queue.
        break;
      } else if (rc != ERROR_CONNECTION_INVALID && rc != ERROR_OPERATION_ABORTED) {
        // One request that went wrong (a head too large, a client gone)
        // must not end the page: the next one is served after a breath.
        (void)WaitForSingleObject(stop_, 50);
      }
    }
    CloseHandle(ov.hEvent);
  }

  ULONG ReceiveHead(HTTP_REQUEST_ID id, std::vector<unsigned char>& buffer, OVERLAPPED& ov) {
    return HttpReceiveHttpRequest(queue_, id, 0, reinterpret_cast<HTTP_REQUEST*>(buffer.data()),
                                  static_cast<ULONG>(buffer.size()), nullptr, &ov);
  }

  void Exchange(const HTTP_REQUEST& in, OVERLAPPED& ov) {
    HttpRequest r;
    if (in.Verb >= HttpVerbOPTIONS && in.Verb < HttpVerbMaximum) {
      r.method = kVerbs[static_cast<int>(in.Verb) - static_cast<int>(HttpVerbOPTIONS)];
    } else if (in.pUnknownVerb) {
      r.method.assign(in.pUnknownVerb, in.UnknownVerbLength);
    }
    r.remoteAddress = PeerAddress(in.Address.pRemoteAddress);
    for (int h = 0; h < HttpHeaderRequestMaximum; ++h) {
      const HTTP_KNOWN_HEADER& k = in.Headers.KnownHeaders[h];
      if (k.pRawValue) r.headers.emplace(kRequestHeaders[h], std::string(k.pRawValue, k.RawValueLength));
    }
    for (USHORT i = 0; i < in.Headers.UnknownHeaderCount; ++i) {
      const HTTP_UNKNOWN_HEADER& u = in.Headers.pUnknownHeaders[i];
      r.headers.emplace(LowerAscii(std::string(u.pName, u.NameLength)), std::string(u.pRawValue, u.RawValueLength));
    }
    std::string url = in.pRawUrl ? std::string(in.pRawUrl, in.RawUrlLength) : "";
    if (size_t query = url.find('?'); query != std::string::npos) url.erase(query);
    Refusal refusal = AdmitRequest(options_, url, r);
    if (refusal.status == 0 && (in.Flags & HTTP_REQUEST_FLAG_MORE_ENTITY_BODY_EXISTS)) {
      refusal.status = ReadBody(in.RequestId, r, ov);
    }
    Send(in.RequestId, refusal.status ? RefusalResponse(refusal) : CallHandler(handler_, r), ov);
  }

  // The body up to the limit: 0 when read whole, else the status of the
  // refusal. A body that stalls longer than the read time-out or breaks off
  // never reaches the handler, as on Linux.
  int ReadBody(HTTP_REQUEST_ID id, HttpRequest& r, OVERLAPPED& ov) {
    char chunk[4096];
    for (;;) {
      ULONG bytes = 0;
      const ULONG rc = Await(ov, HttpReceiveRequestEntityBody(queue_, id, 0, chunk, sizeof chunk, nullptr, &ov), bytes,
                             ReadTimeoutMs());
      if (rc == ERROR_HANDLE_EOF || (rc == NO_ERROR && bytes == 0)) return 0;
      if (rc != NO_ERROR) return 408;
      if (r.body.size() + bytes > options_.maxBodyBytes) return 413;
      r.body.append(chunk, bytes);
    }
  }

  DWORD ReadTimeoutMs() const {
    return static_cast<DWORD>(options_.readTimeoutSeconds < 1 ? 1 : options_.readTimeoutSeconds) * 1000;
  }

  void Send(HTTP_REQUEST_ID id, const HttpResponse& out, OVERLAPPED& ov) {
    HTTP_RESPONSE response{};
    response.Version = HTTP_VERSION_1_1;
    response.StatusCode = static_cast<USHORT>(out.status);
    response.pReason = StatusPhrase(out.status);
    response.ReasonLength = static_cast<USHORT>(std::strlen(response.pReason));
    auto known = [&response](int h, const std::string& value) {
      response.Headers.KnownHeaders[h].pRawValue = value.c_str();
      response.Headers.KnownHeaders[h].RawValueLength = static_cast<USHORT>(value.size());
    };
    known(HttpHeaderContentType, out.contentType);
    // One request per connection, as a page that refreshes itself needs: the
    // flag for the system, the header for the client (and for stand-ins of
    // the system that go by the header alone).
    static const std::string kClose = "close";
    known(HttpHeaderConnection, kClose);
    std::vector<HTTP_UNKNOWN_HEADER> unknown;
    for (const auto& [name, value] : out.headers) {
      if (!SafeResponseHeader(name, value) || name.size() > 0xFFFF || value.size() > 0xFFFF) continue;
      const std::string lower = LowerAscii(name);
      int h = 0;
      while (h < HttpHeaderResponseMaximum && lower != kResponseHeaders[h]) ++h;
      if (h < HttpHeaderResponseMaximum) {
        known(h, value);
      } else {
        unknown.push_back(
            {static_cast<USHORT>(name.size()), static_cast<USHORT>(value.size()), name.c_str(), value.c_str()});
      }
    }
    response.Headers.UnknownHeaderCount = static_cast<USHORT>(unknown.size());
    response.Headers.pUnknownHeaders = unknown.data();
    HTTP_DATA_CHUNK body{};
    body.DataChunkType = HttpDataChunkFromMemory;
    body.FromMemory.pBuffer = const_cast<char*>(out.body.data());
    body.FromMemory.BufferLength = static_cast<ULONG>(out.body.size());
    if (!out.body.empty()) {
      response.EntityChunkCount = 1;
      response.pEntityChunks = &body;
    }
    ULONG bytes = 0;
    (void)Await(ov,
                HttpSendHttpResponse(queue_, id, HTTP_SEND_RESPONSE_FLAG_DISCONNECT, &response, nullptr, nullptr,
                                     nullptr, 0, &ov, nullptr),
                bytes, ReadTimeoutMs(), true);
  }

  HttpServerOptions options_;
  HttpHandler handler_;
  bool initialized_ = false;
  HTTP_SERVER_SESSION_ID session_ = HTTP_NULL_ID;
  HTTP_URL_GROUP_ID group_ = HTTP_NULL_ID;
  HANDLE queue_ = nullptr;
  HANDLE stop_ = nullptr;  // set by Stop(); the workers' waits end on it
  std::vector<std::thread> workers_;
  int port_ = -1;
};

}  // namespace

// The system holds the page's connections, not this process: they cost no
// handles of the gateway's.
int OpenDescriptorLimit() { return 1 << 20; }

std::unique_ptr<HttpServer> HttpServer::Start(const HttpServerOptions& options, HttpHandler handler, Status& error) {
  if (Status st = CheckServerOptions(options); !st.ok()) {
    error = st;
    return nullptr;
  }
  auto server = std::make_unique<HttpApiServer>(options, std::move(handler));
  if (!server->Open(error)) return nullptr;
  server->Run();
  return server;
}

}  // namespace tolven::platform
