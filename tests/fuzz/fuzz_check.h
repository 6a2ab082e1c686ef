#pragma once

// Fuzz targets check properties that must hold for every input; a broken
// one aborts, so that libFuzzer keeps the input as a reproducer.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#define FUZZ_CHECK(condition)                                                       \
  do {                                                                              \
    if (!(condition)) {                                                             \
      std::fprintf(stderr, "property failed at %s:%d: %s\n", __FILE__, __LINE__,  \
                   #condition);                                                     \
      std::abort();                                                                 \
    }                                                                               \
  } while (false)

inline std::string_view fuzzText(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}
