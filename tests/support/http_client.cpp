#include "support/http_client.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cctype>
#include <cstdlib>

namespace tolven::testing {

namespace {

#ifdef _WIN32
using Socket = SOCKET;
constexpr int kNoSignal = 0;
void CloseSocket(Socket s) { ::closesocket(s); }
void SetReceiveTimeout(Socket s, int seconds) {
  const DWORD ms = static_cast<DWORD>(seconds) * 1000;
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
}
Socket OpenSocket() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
  return ::socket(AF_INET, SOCK_STREAM, 0);
}
#else
using Socket = int;
constexpr int kNoSignal = MSG_NOSIGNAL;
void CloseSocket(Socket s) { ::close(s); }
void SetReceiveTimeout(Socket s, int seconds) {
  timeval tv{seconds, 0};
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}
Socket OpenSocket() { return ::socket(AF_INET, SOCK_STREAM, 0); }
#endif

// A response whose head and the body its Content-Length announces are there
// (a server that keeps the connection open is not waited for).
bool Complete(const std::string& response) {
  const size_t head = response.find("\r\n\r\n");
  if (head == std::string::npos) return false;
  for (size_t at = response.find("\r\n"); at < head; at = response.find("\r\n", at + 2)) {
    static const std::string kLength = "\r\ncontent-length:";
    std::string name = response.substr(at, kLength.size());
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == kLength) return response.size() - head - 4 >= std::strtoull(response.c_str() + at + kLength.size(), nullptr, 10);
  }
  return false;
}

}  // namespace

std::string RawHttp(const std::string& host, int port, const std::string& request) {
  Socket fd = OpenSocket();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
  SetReceiveTimeout(fd, 10);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    CloseSocket(fd);
    return "";
  }
  (void)::send(fd, request.data(), static_cast<int>(request.size()), kNoSignal);
  std::string out;
  char buf[8192];
  for (int n; !Complete(out) && (n = static_cast<int>(::recv(fd, buf, sizeof buf, 0))) > 0;) {
    out.append(buf, static_cast<size_t>(n));
  }
  CloseSocket(fd);
  return out;
}

int HttpStatusOf(const std::string& response) {
  return response.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(response.c_str() + 9) : -1;
}

int FreePort() {
  Socket fd = OpenSocket();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  CloseSocket(fd);
  return ntohs(addr.sin_port);
}

}  // namespace tolven::testing
