#include <windows.h>

#include "base/win32.h"

#include <vector>

namespace loftswitch {

std::string toUtf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                          nullptr, nullptr);
  }
  return out;
}

std::wstring toWide(std::string_view text) {
  if (text.empty()) return {};
  const int size =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) {
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  }
  return out;
}

bool equalsIgnoreCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

namespace {

// Lexical normalisation that keeps a "\\?\", "\\?\UNC\" or "\\server" prefix
// intact: the library's own normalisation folds the leading separators of
// those forms away.
std::wstring lexicallyNormal(std::wstring_view text) {
  std::wstring prefix;
  if (text.starts_with(L"\\\\?\\UNC\\")) {
    prefix = L"\\\\?\\UNC\\";
  } else if (text.starts_with(L"\\\\?\\")) {
    prefix = L"\\\\?\\";
  } else if (text.size() >= 2 && (text[0] == L'\\' || text[0] == L'/') &&
             (text[1] == L'\\' || text[1] == L'/')) {
    prefix = L"\\\\";
  }
  text.remove_prefix(prefix.size());
  std::wstring root;
  if (text.size() >= 2 && text[1] == L':') {
    root.assign(text.substr(0, 2));
    text.remove_prefix(2);
  }
  const bool absolute = !text.empty() && (text[0] == L'\\' || text[0] == L'/');
  std::vector<std::wstring> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of(L"\\/", start);
    if (end == std::wstring_view::npos) end = text.size();
    const std::wstring_view part = text.substr(start, end - start);
    if (part.empty() || part == L".") {
      // repeated separators and "." add nothing
    } else if (part == L"..") {
      if (!parts.empty() && parts.back() != L"..") parts.pop_back();
      else if (!absolute && prefix.empty()) parts.emplace_back(part);
    } else {
      parts.emplace_back(part);
    }
    start = end + 1;
  }
  std::wstring out = prefix + root;
  if (absolute) out += L'\\';
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += L'\\';
    out += parts[i];
  }
  const bool trailing = !text.empty() && (text.back() == L'\\' || text.back() == L'/');
  if (trailing && !parts.empty()) out += L'\\';
  return out;
}

// "\\.\" names a device, never a share: it keeps its form.
bool isDevicePath(std::wstring_view text) {
  const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  return text.size() >= 4 && separator(text[0]) && separator(text[1]) && text[2] == L'.' &&
         separator(text[3]);
}

std::wstring withBackslashes(std::wstring text) {
  for (wchar_t& c : text) {
    if (c == L'/') c = L'\\';
  }
  return text;
}

std::wstring absoluteNormal(const std::filesystem::path& path, bool* resolved) {
  const std::wstring& native = path.native();
  *resolved = false;
  const DWORD needed = ::GetFullPathNameW(native.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return native;
  std::wstring full(needed, L'\0');
  const DWORD written = ::GetFullPathNameW(native.c_str(), needed, full.data(), nullptr);
  if (written == 0 || written >= needed) return native;
  full.resize(written);
  *resolved = true;
  // A reserved name such as NUL makes the whole path a device.
  if (isDevicePath(full)) return withBackslashes(full);
  return lexicallyNormal(full);
}

}  // namespace

std::wstring longPath(const std::filesystem::path& path) {
  const std::wstring& native = path.native();
  if (native.size() >= 4 && native.starts_with(L"\\\\?\\")) return native;
  if (isDevicePath(native)) return withBackslashes(native);
  bool resolved = false;
  std::wstring text = absoluteNormal(path, &resolved);
  for (wchar_t& c : text) {
    if (c == L'/') c = L'\\';
  }
  while (text.size() > 3 && text.back() == L'\\') text.pop_back();
  if (text.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + text.substr(2);
  return L"\\\\?\\" + text;
}

std::wstring plainPath(const std::filesystem::path& path) {
  if (isDevicePath(path.native())) return withBackslashes(path.native());
  bool resolved = false;
  std::wstring text = absoluteNormal(path, &resolved);
  if (!resolved) text = lexicallyNormal(path.native());
  if (text.size() >= 8 && text.starts_with(L"\\\\?\\UNC\\")) return L"\\\\" + text.substr(8);
  if (text.size() >= 4 && text.starts_with(L"\\\\?\\")) return text.substr(4);
  return text;
}

std::string windowsErrorText(std::uint32_t code) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text;
  if (length > 0 && buffer != nullptr) text.assign(buffer, length);
  if (buffer != nullptr) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' ||
                           text.back() == L'.')) {
    text.pop_back();
  }
  return toUtf8(text) + " (" + std::to_string(code) + ")";
}

}  // namespace loftswitch
