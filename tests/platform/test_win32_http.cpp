// The status page's server on the system's HTTP server: a request from a
// Winsock client gets the handler's answer, what must be refused is, and a
// client that stalls in its body does not hold up Stop(), after which nothing
// is answered.
#include <gtest/gtest.h>

#include "platform/win32_system.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <string>

#include "platform/http_server.h"

namespace tolven::platform {
namespace {

// A connected loopback socket that gives up reading after five seconds.
SOCKET Connect(int port) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<u_short>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  DWORD timeoutMs = 5000;
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

// The answer to `request`, "" when there is none. It ends where its
// Content-Length says: a stand-in of the system may keep the connection open.
std::string Exchange(int port, const std::string& request) {
  SOCKET s = Connect(port);
  if (s == INVALID_SOCKET) return "";
  ::send(s, request.data(), static_cast<int>(request.size()), 0);
  std::string out;
  char buf[4096];
  for (int n; (n = ::recv(s, buf, sizeof buf, 0)) > 0;) {
    out.append(buf, static_cast<size_t>(n));
    const size_t head = out.find("\r\n\r\n"), length = out.find("Content-Length: ");
    if (head != std::string::npos && length < head &&
        out.size() >= head + 4 + std::strtoul(out.c_str() + length + 16, nullptr, 10)) {
      break;
    }
  }
  ::closesocket(s);
  return out;
}

int StatusOf(const std::string& answer) {
  return answer.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(answer.c_str() + 9) : -1;
}

TEST(Win32HttpServer, AnswersRefusesAndStops) {
  HttpServerOptions options;
  options.maxBodyBytes = 64;
  options.readTimeoutSeconds = 30;
  Status st;
  auto server = HttpServer::Start(
      options,
      [](const HttpRequest& r) {
        return HttpResponse{.body = r.method + " " + r.path + " from " + r.remoteAddress + " body=" + r.body,
                            .headers = {{"Cache-Control", "no-store"}, {"X-Frame-Options", "DENY"}, {"Bad\r\nX", "1"}}};
      },
      st);
  if (!server) GTEST_SKIP() << "the system's HTTP server cannot be used here: " << st.message();
  ASSERT_GT(server->port(), 0);
  const std::string host = "Host: 127.0.0.1:" + std::to_string(server->port()) + "\r\n";
  auto Send = [&](const std::string& start, const std::string& rest) {
    return Exchange(server->port(), start + " HTTP/1.1\r\n" + host + rest);
  };

  const std::string answer = Send("POST /a/b.txt?x=%00", "Content-Length: 5\r\n\r\nhallo");
  EXPECT_EQ(StatusOf(answer), 200) << answer;
  EXPECT_TRUE(answer.ends_with("\r\n\r\nPOST /a/b.txt from 127.0.0.1 body=hallo")) << answer;
  EXPECT_NE(answer.find("Cache-Control: no-store\r\n"), std::string::npos) << answer;
  EXPECT_NE(answer.find("X-Frame-Options: DENY\r\n"), std::string::npos) << answer;
  EXPECT_EQ(answer.find("Bad"), std::string::npos) << answer;

  struct Case {
    std::string start, rest;
    int status;
  } cases[] = {
      {"GET /%2e%2e/etc", "\r\n", 400},
      {"GET /k%C3%BC", "\r\n", 400},
      {"POST /p", "Content-Length: 65\r\n\r\n" + std::string(65, 'x'), 413},
      {"POST /p", "Transfer-Encoding: chunked\r\n\r\n5\r\nhallo\r\n0\r\n\r\n", 411},
      {"POST /p", "Content-Encoding: gzip\r\nContent-Length: 3\r\n\r\nabc", 415},
  };
  for (const Case& c : cases) EXPECT_EQ(StatusOf(Send(c.start, c.rest)), c.status) << c.start << "\n" << c.rest;
  // Another site's name reaches the server only when it listens on every
  // address; bound to loopback the system turns it away itself.
  const std::string foreign =
      Exchange(server->port(), "GET / HTTP/1.1\r\nHost: evil.example:" + std::to_string(server->port()) + "\r\n\r\n");
  EXPECT_NE(StatusOf(foreign), 200) << foreign;

  // A client stalled in its body: Stop() ends its wait. Stop() again is harmless.
  SOCKET stalled = Connect(server->port());
  const std::string part = "POST /p HTTP/1.1\r\n" + host + "Content-Length: 10\r\n\r\nab";
  ::send(stalled, part.data(), static_cast<int>(part.size()), 0);
  server->Stop();
  ::closesocket(stalled);
  EXPECT_EQ(Exchange(server->port(), "GET / HTTP/1.1\r\n" + host + "\r\n"), "") << "stopped";
  server->Stop();
}

}  // namespace
}  // namespace tolven::platform
