// Addresses and this machine's names for the HTTP server, from Winsock and
// the IP helper.
#include "platform/win32/system.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <vector>

#include "platform/http_server_internal.h"

namespace tolven::platform {

namespace {

// Winsock stays started until the process ends.
void StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}

}  // namespace

bool ParseNumericAddress(const std::string& text, int family, unsigned char* bytes) {
  StartWinsock();
  return inet_pton(family == 4 ? AF_INET : AF_INET6, text.c_str(), bytes) == 1;
}

std::string FormatNumericAddress(const sockaddr* sa) {
  StartWinsock();
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
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  std::vector<unsigned char> buffer(16 * 1024);
  ULONG size = static_cast<ULONG>(buffer.size());
  ULONG rc = ERROR_BUFFER_OVERFLOW;
  // The list may grow between the calls.
  for (int tries = 0; tries < 3 && rc == ERROR_BUFFER_OVERFLOW; ++tries) {
    buffer.resize(size);
    rc = GetAdaptersAddresses(AF_UNSPEC, flags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (rc != NO_ERROR) return out;
  for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); a; a = a->Next) {
    for (IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u; u = u->Next) {
      const sockaddr* sa = u->Address.lpSockaddr;
      if (sa && (sa->sa_family == AF_INET || sa->sa_family == AF_INET6)) out.push_back(PeerAddress(sa));
    }
  }
  return out;
}

std::string HostName() {
  wchar_t name[256] = {};
  DWORD size = 256;
  if (!GetComputerNameExW(ComputerNameDnsFullyQualified, name, &size)) return "";
  return Narrow(name);
}

}  // namespace tolven::platform
