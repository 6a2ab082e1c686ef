#pragma once

// The addresses an update is fetched from: https: and http: URLs, file: URLs
// and local paths. Parsed by hand and strictly, so that what is checked is
// exactly what is fetched.

#include <cstdint>
#include <string>
#include <string_view>

#include "base/result.h"

namespace loftswitch {

enum class UrlKind { https, http, file };

struct Url {
  UrlKind kind = UrlKind::https;
  // https and http: the host in lower case (an IPv6 address without its
  // brackets), the port, and the path with its query, starting with '/'.
  std::string host;
  std::uint16_t port = 0;
  std::string target;
  // file: the local path (UTF-8) that a file: URL or a plain path names.
  std::string path;
};

// An absolute address: "https://host[:port]/path[?query]", the same with
// http:, "file:///C:/dir/x" (percent-escapes decoded; "file://server/share/x"
// is a UNC path) or an absolute local path ("C:\dir\x", "\\server\share\x",
// "/dir/x"). Credentials in a URL, spaces, control characters and
// non-ASCII bytes in a URL are refused (`fetchFailed`), and so is any other
// scheme. A fragment is dropped.
[[nodiscard]] Result<Url> parseUrl(std::string_view text);

// `reference` made absolute against `base` (an address parseUrl accepts):
// an absolute reference stays as it is; for a URL base a relative one is
// resolved as a browser does ("/x", "x", "../x", "//host/x"); for a local
// path base it names a file relative to the base's folder. Dot segments
// are removed.
[[nodiscard]] Result<std::string> resolveUrl(std::string_view base, std::string_view reference);

// 127.0.0.0/8, ::1 and "localhost".
bool isLoopbackHost(std::string_view host);

// What an install fetches from: https: anywhere; http: only from the
// loopback address unless the install allows it (`allowHttp`); files and
// local paths only when `localAllowed` (never where a server redirects).
[[nodiscard]] Result<Unit> checkFetchable(const Url& url, bool allowHttp, bool localAllowed);

}  // namespace loftswitch
