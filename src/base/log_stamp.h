#pragma once

#include <cstdint>
#include <string>

namespace loftswitch {

// UTC now as "20261205T103104Z", for file names.
std::string logStamp();

// The line prefix "2026-12-05T10:31:04.123Z " for a time in milliseconds
// since 1970.
std::string logLinePrefix(std::int64_t unixMillis);

}  // namespace loftswitch
