// A bare HTTP client for the status page's tests: raw bytes out, whatever comes
// back until the server closes (it serves one request per connection).
#pragma once

#include <string>

namespace tolven::testing {

// "" when no connection could be made. The sending side stays open: a client
// that shuts it down early gets no answer.
std::string RawHttp(const std::string& host, int port, const std::string& request);
// The status code of a response, -1 when it is none.
int HttpStatusOf(const std::string& response);
// A loopback port nobody listens on right now.
int FreePort();

}  // namespace tolven::testing
