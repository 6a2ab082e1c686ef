#pragma once

// Fuzz targets check properties that must hold for every input; a broken
// one aborts, so that libFuzzer keeps the input as a reproducer.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#define FUZZ_CHECK(condition) \
  ((condition) ? void() : fuzzFail(__FILE__, __LINE__, #condition))

[[noreturn]] inline void fuzzFail(const char* file, int line, const char* condition) {
  std::fprintf(stderr, "property failed at %s:%d: %s\n", file, line, condition);
  std::abort();
}

inline std::string_view fuzzText(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

inline bool isAttemptIdText(std::string_view text) {
  return text.size() == 16 && text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}
