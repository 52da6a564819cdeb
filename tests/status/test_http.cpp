// The status page's HTTP server on real sockets: who may ask, what is refused
// before the handler sees it, and that no request, however broken, stops it.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "common/text.h"
#include "platform/http_server.h"
#include "support/http_client.h"

namespace tolven::platform {
namespace {

std::string Raw(int port, const std::string& request) { return testing::RawHttp("127.0.0.1", port, request); }
using testing::HttpStatusOf;

// The handler echoes what it was given; "/boom" throws.
TEST(HttpServer, ServesTheHandlerAndAnswersBrokenRequestsWithAnErrorWithoutStopping) {
  HttpServerOptions options;
  options.maxBodyBytes = 64;
  options.readTimeoutSeconds = 1;
  std::atomic<int> calls{0};
  Status st;
  auto server = HttpServer::Start(
      options,
      [&calls](const HttpRequest& r) {
        ++calls;
        if (r.path == "/boom") throw std::runtime_error("kaputt");
        HttpResponse out;
        out.body = r.method + " " + r.path + " from " + r.remoteAddress + " body=" + r.body +
                   " agent=" + r.Header("user-agent");
        return out;
      },
      st);
  ASSERT_TRUE(server) << st.message();
  auto Get = [&server](const std::string& path) {
    return Raw(server->port(), "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: t\r\n\r\n");
  };
  std::string r = Get("/status.json");
  EXPECT_EQ(HttpStatusOf(r), 200) << r;
  EXPECT_NE(r.find("GET /status.json from 127.0.0.1 body= agent=t"), std::string::npos) << r;
  r = Raw(server->port(), "POST /p HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5\r\n\r\nhallo");
  EXPECT_NE(r.find("POST /p from 127.0.0.1 body=hallo"), std::string::npos) << r;
  EXPECT_EQ(HttpStatusOf(Get("/a?x=%00&y=<script>")), 200) << "the query is not part of the path";
  struct Case {
    const char* name;
    std::string request;
    int status;
  } cases[] = {
      {"encoded dot-dot", "GET /%2e%2e/etc HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 400},
      {"broken escape", "GET /%zz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 400},
      {"non-ASCII", "GET /k\xC3\xBC" "che HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 400},
      {"relative path", "GET status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 400},
      {"path too long", "GET /" + std::string(300, 'a') + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 400},
      {"huge announced body", "POST /p HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 99999999999\r\n\r\n", 413},
      {"body length not a number", "POST /p HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1e3\r\n\r\n", 400},
      {"chunked body", "POST /p HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhallo\r\n0\r\n\r\n", 411},
      {"compressed body", "POST /p HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Encoding: gzip\r\nContent-Length: 3\r\n\r\nabc", 415},
      {"handler throws", "GET /boom HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 500},
  };
  for (const Case& c : cases) {
    const std::string answer = Raw(server->port(), c.request);
    EXPECT_EQ(HttpStatusOf(answer), c.status) << c.name << ": " << answer;
  }
  // Garbage, a bare connection, an endless URI and a client that leaves early.
  for (const std::string& junk :
       {std::string("\x01\x02\x03\r\n\r\n"), std::string("GET\r\n\r\n"), std::string(""),
        "GET /" + std::string(20000, 'a') + " HTTP/1.1\r\n\r\n", std::string("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n")}) {
    const std::string answer = Raw(server->port(), junk);
    EXPECT_TRUE(answer.empty() || HttpStatusOf(answer) >= 400) << answer.substr(0, 60);
  }
  EXPECT_EQ(HttpStatusOf(Raw(server->port(), "GET / HTTP/1.1\r\nHost: evil.example\r\n\r\n")), 403);
  EXPECT_EQ(HttpStatusOf(Raw(server->port(), "GET / HTTP/1.0\r\n\r\n")), 403) << "no Host at all";
  EXPECT_EQ(HttpStatusOf(Get("/noch-da")), 200);
  EXPECT_EQ(calls.load(), 5) << "only the good requests, the thrower and the last one reached the handler";

  // A port in use, a pattern that is no address, an address not of this machine.
  HttpServerOptions busy;
  busy.port = server->port();
  EXPECT_FALSE(HttpServer::Start(busy, [](const HttpRequest&) { return HttpResponse{}; }, st));
  EXPECT_NE(st.message().find(std::to_string(server->port())), std::string::npos) << st.message();
  busy.port = 0;
  busy.allowedAddresses = {"kasse2"};
  EXPECT_FALSE(HttpServer::Start(busy, [](const HttpRequest&) { return HttpResponse{}; }, st));
  busy.allowedAddresses.clear();
  busy.bindAddress = "203.0.113.99";
  EXPECT_FALSE(HttpServer::Start(busy, [](const HttpRequest&) { return HttpResponse{}; }, st));
  server->Stop();
  server->Stop();  // twice is harmless

  // Listening on IPv6: the client's address comes through as such.
  busy.bindAddress = "::1";
  auto v6 = HttpServer::Start(
      busy,
      [](const HttpRequest& request) {
        HttpResponse out;
        out.body = request.remoteAddress;
        return out;
      },
      st);
  if (!v6) GTEST_SKIP() << "no IPv6 loopback: " << st.message();
  const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_port = htons(static_cast<uint16_t>(v6->port()));
  addr.sin6_addr = in6addr_loopback;
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const std::string get = "GET / HTTP/1.1\r\nHost: [::1]\r\n\r\n";
  (void)::send(fd, get.data(), get.size(), MSG_NOSIGNAL);
  std::string answer;
  char buf[512];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) answer.append(buf, static_cast<size_t>(n));
  ::close(fd);
  EXPECT_TRUE(EndsWith(answer, "\r\n\r\n::1")) << answer;
}

TEST(HttpServerAddresses, OnlyLoopbackUnlessAllowed) {
  struct Case {
    const char* address;
    std::vector<std::string> allowed;
    bool ok;
  } cases[] = {
      {"127.8.9.10", {}, true}, {"::1", {}, true}, {"::ffff:127.0.0.1", {}, true},
      {"192.168.1.20", {}, false}, {"::ffff:192.168.1.20", {}, false}, {"fe80::1%eth0", {}, false}, {"", {}, false},
      {"192.168.1.20", {"192.168.1.20"}, true}, {"192.168.1.21", {"192.168.1.20"}, false},
      {"192.168.1.77", {"192.168.1.0/24"}, true}, {"192.168.2.77", {"192.168.1.0/24"}, false},
      {"10.200.1.1", {"10.192.0.0/10"}, true}, {"10.128.1.1", {"10.192.0.0/10"}, false},
      {"::ffff:192.168.1.20", {"192.168.1.0/24"}, true}, {"192.168.1.20", {"::ffff:192.168.1.0/120"}, true},
      {"fd00::5", {"fd00::/8"}, true}, {"fe00::5", {"fd00::/8"}, false},
      {"8.8.8.8", {"0.0.0.0/0"}, true}, {"kasse2", {"0.0.0.0/0"}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(AddressAllowed(c.address, c.allowed), c.ok) << c.address;
  for (const char* bad : {"192.168.1.0/33", "192.168.1", "kasse2", "10.0.0.0/", "10.0.0.0/x", "::/129", ""}) {
    EXPECT_FALSE(ValidAddressPattern(bad)) << bad;
  }
}

// A page of another site that a browser reaches under a name of its own
// (DNS rebinding) gets nothing; the names of this machine do.
TEST(HttpServerAddresses, HostNamesThisMachine) {
  for (const char* ok : {"localhost", "LOCALHOST:8080", "kasse.localhost", "127.0.0.1:80", "[::1]:8080", "[::1]",
                         "localhost."}) {
    EXPECT_TRUE(HostAllowed(ok, "127.0.0.1")) << ok;
  }
  for (const char* bad : {"evil.example", "evil.example:8080", "", "127.0.0.1.evil.example", "localhost.evil.example",
                          "::1", "[::1]x", "127.0.0.1:8o", "192.168.1.5"}) {
    EXPECT_FALSE(HostAllowed(bad, "127.0.0.1")) << bad;
  }
  EXPECT_TRUE(HostAllowed("192.168.1.5:8080", "192.168.1.5"));
  EXPECT_FALSE(HostAllowed("192.168.1.6", "192.168.1.5"));
  // Bound to every address: the machine's own name and addresses.
  char name[256] = {};
  ASSERT_EQ(::gethostname(name, sizeof name - 1), 0);
  EXPECT_TRUE(HostAllowed(std::string(name) + ":8080", "0.0.0.0"));
  EXPECT_FALSE(HostAllowed(std::string(name) + ":8080", "127.0.0.1"));
  EXPECT_FALSE(HostAllowed("evil.example", "0.0.0.0"));
  EXPECT_FALSE(HostAllowed("evil.example", "::"));
}

}  // namespace
}  // namespace tolven::platform
