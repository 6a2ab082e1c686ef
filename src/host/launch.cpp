#include "host/launch.h"

#include <algorithm>

#include "base/win32.h"

namespace loftswitch {

namespace {

bool needsQuotes(std::wstring_view argument) {
  if (argument.empty()) return true;
  return argument.find_first_of(L" \t\n\v\"") != std::wstring_view::npos;
}

}  // namespace

std::wstring quoteArgument(std::wstring_view argument) {
  if (!needsQuotes(argument)) return std::wstring(argument);
  std::wstring out;
  out.reserve(argument.size() + 2);
  out.push_back(L'"');
  std::size_t i = 0;
  while (true) {
    std::size_t backslashes = 0;
    while (i < argument.size() && argument[i] == L'\\') {
      ++backslashes;
      ++i;
    }
    if (i == argument.size()) {
      // Doubled so that none of them escapes the closing quote.
      out.append(backslashes * 2, L'\\');
      break;
    }
    if (argument[i] == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    out.push_back(argument[i]);
    ++i;
  }
  out.push_back(L'"');
  return out;
}

std::wstring joinCommandLine(std::wstring_view plainProgram, std::span<const std::wstring> arguments) {
  // The program path is taken up to the next quote without escapes, and a
  // Windows path cannot hold a quote.
  std::wstring line = L"\"";
  line.append(plainProgram);
  line.push_back(L'"');
  for (const std::wstring& argument : arguments) {
    line.push_back(L' ');
    line.append(quoteArgument(argument));
  }
  return line;
}

std::wstring buildCommandLine(const std::filesystem::path& program,
                              const std::vector<std::string>& arguments) {
  std::vector<std::wstring> wide;
  wide.reserve(arguments.size());
  for (const std::string& argument : arguments) wide.push_back(toWide(argument));
  return joinCommandLine(plainPath(program), wide);
}

std::wstring_view environmentEntryName(std::wstring_view entry) {
  if (entry.size() <= 1) return entry;
  const std::size_t equals = entry.find(L'=', 1);
  return equals == std::wstring_view::npos ? entry : entry.substr(0, equals);
}

std::vector<wchar_t> environmentBlockFrom(std::vector<std::wstring> inherited,
                                          const EnvironmentAdditions& additions) {
  for (const auto& [name, value] : additions) {
    const std::wstring wideName = toWide(name);
    std::erase_if(inherited, [&](const std::wstring& entry) {
      return equalsIgnoreCase(environmentEntryName(entry), wideName);
    });
    inherited.push_back(wideName + L"=" + toWide(value));
  }
  std::stable_sort(inherited.begin(), inherited.end(),
                   [](const std::wstring& a, const std::wstring& b) {
                     return compareNamesIgnoreCase(environmentEntryName(a),
                                                   environmentEntryName(b)) < 0;
                   });
  std::vector<wchar_t> block;
  for (const std::wstring& entry : inherited) {
    block.insert(block.end(), entry.begin(), entry.end());
    block.push_back(L'\0');
  }
  block.push_back(L'\0');
  // An empty block still needs two zeros: Windows reads a Unicode block up to
  // an empty string, and a lone zero would leave it reading past the end.
  if (block.size() < 2) block.push_back(L'\0');
  return block;
}

}  // namespace loftswitch
