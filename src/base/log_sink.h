#pragma once

#include <functional>
#include <string_view>

namespace loftswitch {

// Takes one line of UTF-8 text without its line ending. May be empty: callers
// that log go through logLine so an empty sink costs nothing.
using LogSink = std::function<void(std::string_view)>;

inline void logLine(const LogSink& sink, std::string_view line) {
  if (sink) sink(line);
}

}  // namespace loftswitch
