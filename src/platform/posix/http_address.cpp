// Addresses and this machine's names for the HTTP server, from the C library.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/http_server_internal.h"

namespace tolven::platform {

bool ParseNumericAddress(const std::string& text, int family, unsigned char* bytes) {
  return inet_pton(family == 4 ? AF_INET : AF_INET6, text.c_str(), bytes) == 1;
}

std::string FormatNumericAddress(const sockaddr* sa) {
  char text[INET6_ADDRSTRLEN] = {};
  if (sa->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, text, sizeof text);
  } else if (sa->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, text, sizeof text);
  }
  return text;
}

std::vector<std::string> LocalAddresses() {
  std::vector<std::string> out;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (i->ifa_addr && (i->ifa_addr->sa_family == AF_INET || i->ifa_addr->sa_family == AF_INET6)) {
      out.push_back(PeerAddress(i->ifa_addr));
    }
  }
  ::freeifaddrs(list);
  return out;
}

std::string HostName() {
  char host[256] = {};
  return ::gethostname(host, sizeof host - 1) == 0 ? host : "";
}

}  // namespace tolven::platform
