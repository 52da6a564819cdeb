// The status page's server on the system's HTTP server: a request from a
// Winsock client gets the handler's answer, what must be refused is, and a
// client that stalls in its body does not hold up Stop(), after which nothing
// is answered.
#include <gtest/gtest.h>

#include "platform/win32/system.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <string>

#include "platform/http_server.h"
#include "support/http_client.h"

namespace tolven::platform {
namespace {

using testing::HttpStatusOf;

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
  auto Raw = [&](const std::string& request) { return testing::RawHttp("127.0.0.1", server->port(), request); };
  auto Send = [&](const std::string& start, const std::string& rest) {
    return Raw(start + " HTTP/1.1\r\n" + host + rest);
  };

  const std::string answer = Send("POST /a/b.txt?x=%00", "Content-Length: 5\r\n\r\nhallo");
  EXPECT_EQ(HttpStatusOf(answer), 200) << answer;
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
  for (const Case& c : cases) EXPECT_EQ(HttpStatusOf(Send(c.start, c.rest)), c.status) << c.start << "\n" << c.rest;
  // Another site's name reaches the server only when it listens on every
  // address; bound to loopback the system turns it away itself.
  const std::string foreign =
      Raw("GET / HTTP/1.1\r\nHost: evil.example:" + std::to_string(server->port()) + "\r\n\r\n");
  EXPECT_NE(HttpStatusOf(foreign), 200) << foreign;

  // A client stalled in its body: Stop() ends its wait. Stop() again is harmless.
  SOCKET stalled = Connect(server->port());
  const std::string part = "POST /p HTTP/1.1\r\n" + host + "Content-Length: 10\r\n\r\nab";
  ::send(stalled, part.data(), static_cast<int>(part.size()), 0);
  server->Stop();
  ::closesocket(stalled);
  EXPECT_EQ(Raw("GET / HTTP/1.1\r\n" + host + "\r\n"), "") << "stopped";
  server->Stop();
}

}  // namespace
}  // namespace tolven::platform
