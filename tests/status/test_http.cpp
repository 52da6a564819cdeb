// The status page's HTTP server on real sockets: who may ask, and what is
// refused before the handler sees it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>

#include "platform/http_server.h"
#include "support/http_client.h"

namespace tolven::platform {
namespace {

using testing::HttpStatusOf;

// The handler echoes what it was given; "/boom" throws.
TEST(HttpServer, ServesTheHandlerAndRefusesWhatItCannotServe) {
  HttpServerOptions options;
  options.maxBodyBytes = 64;
  std::atomic<int> calls{0};
  Status st;
  auto server = HttpServer::Start(
      options,
      [&calls](const HttpRequest& r) {
        ++calls;
        if (r.path == "/boom") throw std::runtime_error("kaputt");
        HttpResponse out;
        out.body = r.method + " " + r.path + " from " + r.remoteAddress + " body=" + r.body;
        return out;
      },
      st);
  ASSERT_TRUE(server) << st.message();
  // The answer to a request of that start line and what follows the Host header.
  auto Send = [&server](const std::string& start, const std::string& rest) {
    return testing::RawHttp("127.0.0.1", server->port(), start + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + rest);
  };
  const std::string answer = Send("POST /a?x=%00", "Content-Length: 5\r\n\r\nhallo");
  EXPECT_TRUE(answer.ends_with("\r\n\r\nPOST /a from 127.0.0.1 body=hallo")) << answer;
  // Encoded dot-dot, a broken escape, non-ASCII, a relative path, a path too long.
  for (const std::string& path :
       std::vector<std::string>{"/%2e%2e/etc", "/%zz", "/k\xC3\xBC", "status", "/" + std::string(300, 'a')}) {
    EXPECT_EQ(HttpStatusOf(Send("GET " + path, "\r\n")), 400) << path;
  }
  EXPECT_EQ(HttpStatusOf(Send("POST /p", "Content-Length: 1e3\r\n\r\n")), 400);
  EXPECT_EQ(HttpStatusOf(Send("POST /p", "Content-Length: 99999999999\r\n\r\n")), 413);
  EXPECT_EQ(HttpStatusOf(Send("POST /p", "Transfer-Encoding: chunked\r\n\r\n5\r\nhallo\r\n0\r\n\r\n")), 411);
  EXPECT_EQ(HttpStatusOf(Send("POST /p", "Content-Encoding: gzip\r\nContent-Length: 3\r\n\r\nabc")), 415);
  EXPECT_EQ(HttpStatusOf(Send("GET /boom", "\r\n")), 500);
  EXPECT_EQ(calls.load(), 2) << "only the good request and the thrower reached the handler";
}

TEST(HttpServerAddresses, OnlyLoopbackUnlessAllowedAndOnlyNamesOfThisMachine) {
  for (const char* ok : {"127.8.9.10", "::1", "::ffff:127.0.0.1"}) EXPECT_TRUE(AddressAllowed(ok, {})) << ok;
  for (const char* no : {"192.168.1.20", "::ffff:192.168.1.20", "fe80::1%eth0", ""}) {
    EXPECT_FALSE(AddressAllowed(no, {})) << no;
  }
  const std::vector<std::string> allowed = {"192.168.1.0/24", "10.192.0.0/10", "fd00::/8", "172.16.0.9"};
  for (const char* ok : {"192.168.1.77", "::ffff:192.168.1.20", "10.200.1.1", "fd00::5", "172.16.0.9"}) {
    EXPECT_TRUE(AddressAllowed(ok, allowed)) << ok;
  }
  for (const char* no : {"192.168.2.77", "10.128.1.1", "fe00::5", "172.16.0.8", "kasse2"}) {
    EXPECT_FALSE(AddressAllowed(no, allowed)) << no;
  }
  EXPECT_TRUE(AddressAllowed("192.168.1.20", {"::ffff:192.168.1.0/120"}));
  EXPECT_TRUE(AddressAllowed("8.8.8.8", {"0.0.0.0/0"}));
  for (const char* bad : {"192.168.1.0/33", "192.168.1", "kasse2", "10.0.0.0/", "10.0.0.0/x", "::/129", ""}) {
    EXPECT_FALSE(ValidAddressPattern(bad)) << bad;
  }
  // A page of another site that a browser reaches under a name of its own
  // (DNS rebinding) gets nothing; the names of this machine do.
  for (const char* ok :
       {"localhost", "LOCALHOST:8080", "kasse.localhost", "127.0.0.1:80", "[::1]:8080", "[::1]", "localhost."}) {
    EXPECT_TRUE(HostAllowed(ok, "127.0.0.1")) << ok;
  }
  for (const char* bad : {"evil.example", "evil.example:8080", "", "127.0.0.1.evil.example", "localhost.evil.example",
                          "::1", "[::1]x", "127.0.0.1:8o", "192.168.1.5"}) {
    EXPECT_FALSE(HostAllowed(bad, "127.0.0.1")) << bad;
  }
  EXPECT_TRUE(HostAllowed("192.168.1.5:8080", "192.168.1.5"));
  // Bound to every address: the machine's own name and addresses.
  char name[256] = {};
  ASSERT_EQ(::gethostname(name, sizeof name - 1), 0);
  EXPECT_TRUE(HostAllowed(std::string(name) + ":8080", "0.0.0.0"));
  EXPECT_FALSE(HostAllowed(std::string(name) + ":8080", "127.0.0.1"));
  EXPECT_FALSE(HostAllowed("evil.example", "0.0.0.0"));
}

}  // namespace
}  // namespace tolven::platform
