#pragma once

#include <string_view>
#include <vector>
#include <string>

namespace nimbrel {

// Whether a WebSocket upgrade may go on, by the page that asked for it. Browsers name that
// page in the Origin header; native clients send none. Allowed: no Origin; the host's own page
// (the same host and port as the request's Host header, http or https), when that host is an
// address or a local network's name (one label, .local, .lan, .home.arpa, .internal: a public
// name pointed at this host by a stranger's DNS is not); an origin of `allowed` (scheme, host
// and port, compared as browsers write them: "https://example.org", default ports left out).
// Anything else, "null" included, is refused, so that a web page the user happens to open
// cannot talk to the host.
bool originAllowed(std::string_view origin, bool hasOrigin, std::string_view hostHeader,
                   const std::vector<std::string>& allowed);

}  // namespace nimbrel
