#include "base/log_stamp.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace loftswitch {
namespace {

std::tm utcTime(std::time_t seconds) {
  std::tm parts{};
#ifdef _WIN32
  gmtime_s(&parts, &seconds);
#else
  gmtime_r(&seconds, &parts);
#endif
  return parts;
}

}  // namespace

std::string logLinePrefix(std::int64_t unixMillis) {
  std::int64_t seconds = unixMillis / 1000;
  std::int64_t millis = unixMillis % 1000;
  if (millis < 0) {
    millis += 1000;
    seconds -= 1;
  }
  const std::tm t = utcTime(static_cast<std::time_t>(seconds));
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ ", t.tm_year + 1900,
                t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(millis));
  return buffer;
}

std::string logStamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const std::tm t = utcTime(seconds);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d%02d%02dT%02d%02d%02dZ", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return buffer;
}

}  // namespace loftswitch
