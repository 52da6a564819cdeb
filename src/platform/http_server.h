// A small HTTP server for the status page, on threads of its own. It hands
// every acceptable request to one handler and refuses everything else before
// the handler sees it: clients outside loopback and the configured addresses,
// a Host header that names no address or name of this machine, paths that are
// not plain ASCII path names, bodies over the limit, chunked or compressed
// bodies. The handler runs on a server thread and must only read
// state that is safe to read from there.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/status.h"

namespace tolven::platform {

struct HttpRequest {
  std::string method;                          // "GET", "POST", ...
  std::string path;                            // decoded, without the query
  std::string remoteAddress;                   // numeric, as the socket reports it
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;

  // The header's value, "" when missing; `name` in lower case.
  std::string Header(const std::string& name) const;
};

struct HttpResponse {
  int status = 200;
  std::string contentType = "text/plain; charset=utf-8";
  std::string body;  // UTF-8
  std::vector<std::pair<std::string, std::string>> headers;
};

using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

struct HttpServerOptions {
  std::string bindAddress = "127.0.0.1";
  int port = 0;  // 0: any free port (see HttpServer::port)
  // Clients besides loopback: addresses or prefixes ("192.168.1.20",
  // "192.168.1.0/24", "fd00::/8").
  std::vector<std::string> allowedAddresses;
  size_t maxBodyBytes = 4096;
  size_t maxPathLength = 256;
  int threads = 2;
  // A client that sends nothing for this long is dropped.
  int readTimeoutSeconds = 5;
  // Connections open at once (slow ones included); further ones are refused.
  // Start lowers it to ConnectionLimit(): idle page connections must never
  // take the descriptors the gateway needs for order files and printers.
  int maxConnections = 256;
};

class HttpServer {
 public:
  virtual ~HttpServer() = default;
  // Binds and starts serving. nullptr with `error` when the address cannot be
  // bound or an allowed address is not one.
  static std::unique_ptr<HttpServer> Start(const HttpServerOptions& options, HttpHandler handler, Status& error);
  // The port bound (the free one chosen for port 0).
  virtual int port() const = 0;
  // Stops accepting, finishes the requests under way and joins the threads;
  // also done by the destructor.
  virtual void Stop() = 0;
};

// The soft limit of descriptors (files, sockets) this process may hold open;
// a large fixed number where the server's connections cost the process none.
int OpenDescriptorLimit();
// The connections a server admits: `requested` (<= 0: no wish), at most a
// quarter of the descriptor limit and at least 4.
int ConnectionLimit(int requested, int descriptorLimit);

// 127.0.0.0/8, ::1 and their IPv4-mapped forms.
bool IsLoopbackAddress(const std::string& address);
// An address or a prefix as HttpServerOptions::allowedAddresses takes them.
bool ValidAddressPattern(const std::string& pattern);
// Loopback, or covered by one of the patterns.
bool AddressAllowed(const std::string& address, const std::vector<std::string>& patterns);
// The Host header names this server: a loopback name or address, the bind
// address, or (bound to every address) an address or the name of this machine.
// A port may follow.
bool HostAllowed(const std::string& host, const std::string& bindAddress);
// Starts with "/", at most `maxLength` characters, only letters, digits and
// "/", ".", "-", "_", and no ".." segment.
bool SafeRequestPath(const std::string& path, size_t maxLength);

}  // namespace tolven::platform
