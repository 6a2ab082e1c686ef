#include "download/url.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <vector>

#include "base/text.h"

namespace loftswitch {
namespace {

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The scheme of an absolute URL, lower-cased; empty for anything else. One
// letter before the colon is a drive, not a scheme.
std::string schemeOf(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (isAlpha(text[i]) || (i > 0 && (isDigit(text[i]) ||
                                                           text[i] == '+' || text[i] == '-' ||
                                                           text[i] == '.')))) {
    ++i;
  }
  if (i < 2 || i >= text.size() || text[i] != ':') return {};
  return asciiLower(text.substr(0, i));
}

bool isAbsoluteLocalPath(std::string_view text) {
  if (text.starts_with('/') || text.starts_with('\\')) return true;
  return text.size() >= 3 && isAlpha(text[0]) && text[1] == ':' &&
         (text[2] == '\\' || text[2] == '/');
}

std::unexpected<Error> refused(std::string_view text, std::string_view why) {
  return fail(ErrorCode::fetchFailed,
              "can't use the address \"" + std::string(text) + "\": " + std::string(why));
}

int hexValue(char c) {
  if (isDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool plainUrlByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte > 0x20 && byte < 0x7f && c != '\\';
}

// RFC 3986's remove_dot_segments on a path that starts with '/'.
std::string removeDotSegments(std::string_view path) {
  std::vector<std::string_view> kept;
  std::size_t start = 1;
  for (;;) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::string_view segment = path.substr(start, end - start);
    const bool last = end == path.size();
    if (segment == "..") {
      if (!kept.empty()) kept.pop_back();
      if (last) kept.emplace_back();
    } else if (segment == ".") {
      if (last) kept.emplace_back();
    } else {
      kept.push_back(segment);
    }
    if (last) break;
    start = end + 1;
  }
  std::string out;
  for (const std::string_view segment : kept) out += "/" + std::string(segment);
  return out.empty() ? "/" : out;
}

Result<Url> parseFileUrl(std::string_view text, std::string_view rest) {
  if (!rest.starts_with("//")) return refused(text, "a file: URL starts with file://");
  const std::size_t slash = std::min(rest.find('/', 2), rest.size());
  const std::string host = asciiLower(rest.substr(2, slash - 2));
  rest.remove_prefix(slash);
  if (rest.empty()) return refused(text, "a file: URL needs a path");
  rest = rest.substr(0, std::min(rest.find_first_of("?#"), rest.size()));
  std::string path;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (!plainUrlByte(rest[i])) return refused(text, "a URL holds only printable ASCII");
    if (rest[i] != '%') {
      path += rest[i];
      continue;
    }
    const int high = i + 2 < rest.size() ? hexValue(rest[i + 1]) : -1;
    const int low = high >= 0 ? hexValue(rest[i + 2]) : -1;
    if (low < 0 || (high == 0 && low == 0)) return refused(text, "a broken percent-escape");
    path += static_cast<char>(high * 16 + low);
    i += 2;
  }
  if (!isValidUtf8(path)) return refused(text, "an escaped path that is not UTF-8");
  Url url;
  url.kind = UrlKind::file;
  if (!host.empty() && host != "localhost") {
    url.path = "//" + host + path;
  } else if (path.size() >= 3 && isAlpha(path[1]) && path[2] == ':') {
    url.path = path.substr(1);  // "/C:/dir" names the drive's path
  } else {
    url.path = path;
  }
  return url;
}

Result<Url> parseWebUrl(std::string_view text, std::string_view scheme, std::string_view rest) {
  if (!rest.starts_with("//")) return refused(text, "the host is missing");
  rest.remove_prefix(2);
  const std::size_t authorityEnd = std::min(rest.find_first_of("/?#"), rest.size());
  std::string_view authority = rest.substr(0, authorityEnd);
  rest.remove_prefix(authorityEnd);
  if (authority.find('@') != std::string_view::npos) {
    return refused(text, "credentials in an address are never sent");
  }
  Url url;
  url.kind = scheme == "https" ? UrlKind::https : UrlKind::http;
  std::string_view port;
  if (authority.starts_with('[')) {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return refused(text, "an unclosed IPv6 address");
    url.host = asciiLower(authority.substr(1, close - 1));
    const bool ipv6 = !url.host.empty() && std::all_of(url.host.begin(), url.host.end(), [](char c) {
      return hexValue(c) >= 0 || c == ':' || c == '.';
    });
    if (!ipv6) return refused(text, "a malformed IPv6 address");
    authority.remove_prefix(close + 1);
    if (!authority.empty() && !authority.starts_with(':')) return refused(text, "a malformed host");
    port = authority.empty() ? authority : authority.substr(1);
  } else {
    const std::size_t colon = std::min(authority.find(':'), authority.size());
    url.host = asciiLower(authority.substr(0, colon));
    port = colon < authority.size() ? authority.substr(colon + 1) : std::string_view();
    const bool valid = !url.host.empty() && std::all_of(url.host.begin(), url.host.end(), [](char c) {
      return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
    });
    if (!valid) return refused(text, "a malformed host");
  }
  if (port.empty()) port = url.kind == UrlKind::https ? "443" : "80";
  unsigned value = 0;
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (error != std::errc() || end != port.data() + port.size() || port.size() > 5 || value == 0 ||
      value > 65535) {
    return refused(text, "a malformed port");
  }
  url.port = static_cast<std::uint16_t>(value);
  rest = rest.substr(0, std::min(rest.find('#'), rest.size()));
  if (!std::all_of(rest.begin(), rest.end(), plainUrlByte)) {
    return refused(text, "a URL holds only printable ASCII, without spaces");
  }
  url.target = rest.starts_with('/') ? std::string(rest) : "/" + std::string(rest);
  return url;
}

}  // namespace

Result<Url> parseUrl(std::string_view text) {
  const std::string scheme = schemeOf(text);
  if (scheme.empty()) {
    if (!isAbsoluteLocalPath(text)) {
      return refused(text, "not an https:, http: or file: URL, nor an absolute path");
    }
    if (!isValidUtf8(text) || text.find('\0') != std::string_view::npos) {
      return refused(text, "a path that is not UTF-8");
    }
    return Url{UrlKind::file, {}, 0, {}, std::string(text)};
  }
  const std::string_view rest = text.substr(scheme.size() + 1);
  if (scheme == "file") return parseFileUrl(text, rest);
  if (scheme == "https" || scheme == "http") return parseWebUrl(text, scheme, rest);
  return refused(text, "the scheme " + scheme + ": is not fetched");
}

Result<std::string> resolveUrl(std::string_view base, std::string_view reference) {
  ASSIGN_OR_RETURN(const Url parsedBase, parseUrl(base));
  if (reference.empty()) return refused(reference, "it is empty");
  const std::string scheme = schemeOf(base);
  if (!schemeOf(reference).empty() ||
      (scheme.empty() && isAbsoluteLocalPath(reference))) {
    RETURN_IF_ERROR(parseUrl(reference));
    return std::string(reference);
  }
  if (scheme.empty()) {
    if (!isValidUtf8(reference)) return refused(reference, "a path that is not UTF-8");
    const std::filesystem::path joined = utf8ToPath(parsedBase.path).parent_path() /
                                         utf8ToPath(reference);
    return pathToUtf8(joined.lexically_normal());
  }
  // The base's "scheme://authority" and the folder of its path.
  const std::size_t authorityStart = scheme.size() + 3;
  const std::size_t pathStart =
      std::min(base.find_first_of("/?#", std::min(authorityStart, base.size())), base.size());
  const std::string prefix(base.substr(0, pathStart));
  std::string_view basePath = base.substr(pathStart);
  basePath = basePath.substr(0, std::min(basePath.find_first_of("?#"), basePath.size()));
  reference = reference.substr(0, std::min(reference.find('#'), reference.size()));
  const std::size_t queryAt = std::min(reference.find('?'), reference.size());
  const std::string_view refPath = reference.substr(0, queryAt);
  const std::string_view query = reference.substr(queryAt);
  std::string resolved;
  if (reference.starts_with("//")) {
    resolved = scheme + ":" + std::string(reference);
  } else if (refPath.empty()) {
    resolved = prefix + (basePath.empty() ? "/" : std::string(basePath)) + std::string(query);
  } else if (refPath.starts_with('/')) {
    resolved = prefix + removeDotSegments(refPath) + std::string(query);
  } else {
    const std::string folder(basePath.substr(0, basePath.rfind('/') + 1));
    resolved = prefix + removeDotSegments((folder.empty() ? "/" : folder) + std::string(refPath)) +
               std::string(query);
  }
  RETURN_IF_ERROR(parseUrl(resolved));
  return resolved;
}

bool isLoopbackHost(std::string_view host) {
  if (host == "localhost" || host == "::1") return true;
  if (!host.starts_with("127.")) return false;
  int parts = 0;
  for (std::size_t start = 0; start <= host.size(); ++parts) {
    const std::size_t end = std::min(host.find('.', start), host.size());
    unsigned value = 0;
    const auto [at, error] = std::from_chars(host.data() + start, host.data() + end, value);
    if (error != std::errc() || at != host.data() + end || end - start > 3 || value > 255) {
      return false;
    }
    start = end + 1;
  }
  return parts == 4;
}

Result<Unit> checkFetchable(const Url& url, bool allowHttp, bool localAllowed) {
  switch (url.kind) {
    case UrlKind::https:
      return Unit{};
    case UrlKind::http:
      if (allowHttp || isLoopbackHost(url.host)) return Unit{};
      return fail(ErrorCode::fetchFailed,
                  "http://" + url.host + url.target +
                      " is plain http, which is used only on the loopback address: publish "
                      "over https:, or let this install fetch over http with \"allowHttp\": "
                      "true in its loftswitch.json");
    case UrlKind::file:
      if (localAllowed) return Unit{};
      return fail(ErrorCode::fetchFailed,
                  "a server may not send the download to the local file " + url.path);
  }
  return Unit{};
}

}  // namespace loftswitch
