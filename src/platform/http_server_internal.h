// What the HTTP servers of posix/ and win32/ share: the checks every request
// passes before the handler sees it, and the few facts about addresses and
// this machine that only the operating system knows (http_address.cpp of
// each).
#pragma once

#include <string>
#include <vector>

#include "common/status.h"
#include "platform/http_server.h"

struct sockaddr;

namespace tolven::platform {

// --- From the operating system ---

// A numeric address of the family (4 or 6) into `bytes` (4 or 16 of them).
bool ParseNumericAddress(const std::string& text, int family, unsigned char* bytes);
// The numeric text of an IPv4 or IPv6 socket address, "" for another family.
std::string FormatNumericAddress(const sockaddr* address);
// The addresses of this machine's interfaces, numeric.
std::vector<std::string> LocalAddresses();
// This machine's name, with its domain where it has one; "" when unknown.
std::string HostName();

// --- Shared by the servers ---

// A request the server refuses before its body: the status and its text.
struct Refusal {
  int status = 0;  // 0: admitted
  std::string text;
};

// "" or an address of all zeros: every address of this machine.
bool IsAnyAddress(const std::string& bind);
// A client's address as the page shows and checks it: a client of a
// dual-stack socket shows as IPv4, as it connected.
std::string PeerAddress(const sockaddr* address);
// The options' addresses are addresses or prefixes.
Status CheckServerOptions(const HttpServerOptions& options);
// The error when the address and port cannot be had.
Status BindError(const HttpServerOptions& options);
// The checks in their order, on a request whose method, client address and
// headers are filled in; `url` is the path as sent, without the query. Sets
// request.path when admitted.
Refusal AdmitRequest(const HttpServerOptions& options, const std::string& url, HttpRequest& request);
// The answer to a refused request.
HttpResponse RefusalResponse(const Refusal& refusal);
// The handler's answer; 404 without a handler, 500 when it throws.
HttpResponse CallHandler(const HttpHandler& handler, const HttpRequest& request);
// A handler's header that may go out: it never splits the answer.
bool SafeResponseHeader(const std::string& name, const std::string& value);
std::string LowerAscii(std::string s);

}  // namespace tolven::platform
