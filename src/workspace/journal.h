#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "workspace/workspace.h"

namespace loftswitch {

enum class JournalState : std::uint32_t {
  staged = 0,
  swapping = 1,
  swapped = 2,
  confirmed = 3,
  rollingBack = 4,
  rolledBack = 5,
};

// Where a move's path lies: the install, the staged files, the backup of the
// replaced entries, or the entries of the update a preserved path displaced.
enum class Location : std::uint32_t { target = 0, stage = 1, backup = 2, replaced = 3 };

struct Move {
  Location from = Location::target;
  Location to = Location::target;
  // Relative to both locations, "/"-separated.
  std::string path;

  friend bool operator==(const Move&, const Move&) = default;
};

struct Relaunch {
  std::vector<std::string> args;
  std::string cwd;

  friend bool operator==(const Relaunch&, const Relaunch&) = default;
};

struct Timeouts {
  std::int64_t exitMs = 60000;
  std::int64_t confirmMs = 60000;
  std::int32_t retryAttempts = 20;
  std::int64_t retryDelayMs = 50;
  std::int64_t retryMaxDelayMs = 1000;

  friend bool operator==(const Timeouts&, const Timeouts&) = default;
};

struct OutcomeRecord {
  std::string result;
  std::string reason;
  std::string detail;

  friend bool operator==(const OutcomeRecord&, const OutcomeRecord&) = default;
};

// The kept folder's size when measuring it failed: written as no
// "keptBytes", so that no reader takes it for an empty folder.
inline constexpr std::uint64_t kUnknownKeptBytes = UINT64_MAX;

// The single record of one update attempt, as "journal.json" holds it.
struct Journal {
  std::string id;
  std::string app;
  std::string from;
  std::string to;
  JournalState state = JournalState::staged;
  Layout layout = Layout::folder;
  std::string executable;
  std::string package;
  std::vector<std::string> preserve;
  Relaunch relaunch;
  Timeouts timeouts;
  std::vector<Move> moves;
  std::optional<OutcomeRecord> outcome;
  // Written with the outcome ("kept", "keptBytes"): the folder that holds
  // what a rollback set aside, and its bytes (kUnknownKeptBytes when they
  // couldn't be measured); empty when it set nothing aside.
  std::string kept;
  std::uint64_t keptBytes = 0;
  bool reported = false;
  std::string lastError;

  friend bool operator==(const Journal&, const Journal&) = default;
};

// The written names; empty for a value outside the tables.
std::string_view stateName(JournalState state);
std::string_view locationName(Location location);

// Every check of the format, in order; failures are `io` errors that begin
// "the update journal is damaged: ".
[[nodiscard]] Result<Journal> parseJournal(std::string_view text);

// Keys in byte order, two-space indent, UTF-8 unescaped, one trailing "\n".
std::string serializeJournal(const Journal& journal);

}  // namespace loftswitch
