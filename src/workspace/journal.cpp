#include "workspace/journal.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <utility>

#include <nlohmann/json.hpp>

#include "json/strict_json.h"

namespace loftswitch {
namespace {

using Json = nlohmann::json;

constexpr std::uint32_t kJournalMaxDepth = 8;
constexpr std::string_view kDamaged = "the update journal is damaged: ";

constexpr std::array<JournalState, 6> kStates = {
    JournalState::staged,    JournalState::swapping,    JournalState::swapped,
    JournalState::confirmed, JournalState::rollingBack, JournalState::rolledBack,
};
constexpr std::array<Location, 4> kLocations = {Location::target, Location::stage,
                                                Location::backup, Location::replaced};

std::unexpected<Error> damaged(std::string_view detail) {
  return fail(ErrorCode::io, std::string(kDamaged) + std::string(detail));
}

std::optional<JournalState> stateNamed(std::string_view name) {
  for (JournalState state : kStates) {
    if (stateName(state) == name) return state;
  }
  return std::nullopt;
}

std::optional<Location> locationNamed(std::string_view name) {
  for (Location location : kLocations) {
    if (locationName(location) == name) return location;
  }
  return std::nullopt;
}

std::string_view layoutName(Layout layout) {
  return layout == Layout::bundle ? "bundle" : "folder";
}

// Reads one object of the journal and keeps the first error it records.
// Messages name the key without its parent; the caller adds the parent.
class JournalReader {
 public:
  explicit JournalReader(const Json& object) : object_(object) {}

  std::string string(std::string_view key, bool required) {
    const Json* value = find(key);
    if (value == nullptr) {
      if (required) record(std::string(key) + " is missing");
      return {};
    }
    if (!value->is_string()) {
      record(std::string(key) + " must be a string");
      return {};
    }
    return value->get<std::string>();
  }

  // Both signed and unsigned integers; a value beyond the 64-bit signed
  // range saturates rather than wrapping to a negative wait.
  std::int64_t integer(std::string_view key, std::int64_t fallback) {
    const Json* value = find(key);
    if (value == nullptr) return fallback;
    if (value->is_number_unsigned()) {
      const auto number = value->get<std::uint64_t>();
      constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
      return number > kMax ? std::numeric_limits<std::int64_t>::max()
                           : static_cast<std::int64_t>(number);
    }
    if (value->is_number_integer()) return value->get<std::int64_t>();
    record(std::string(key) + " must be an integer");
    return fallback;
  }

  std::vector<std::string> strings(std::string_view key) {
    const Json* value = find(key);
    if (value == nullptr) return {};
    if (!value->is_array()) {
      record(std::string(key) + " must be an array");
      return {};
    }
    std::vector<std::string> result;
    result.reserve(value->size());
    for (const Json& element : *value) {
      if (!element.is_string()) {
        record(std::string(key) + " must hold strings");
        return {};
      }
      result.push_back(element.get<std::string>());
    }
    return result;
  }

  void record(std::string text) {
    if (error_.empty()) error_ = std::move(text);
  }

  // An error of a nested reader, with the nested object's key in front.
  void recordNested(std::string_view parent, const JournalReader& nested) {
    if (!nested.error().empty()) record(std::string(parent) + "." + nested.error());
  }

  const std::string& error() const { return error_; }

  const Json* find(std::string_view key) const {
    auto it = object_.find(key);
    return it == object_.end() ? nullptr : &*it;
  }

 private:
  const Json& object_;
  std::string error_;
};

std::int32_t saturatedInt32(std::int64_t value) {
  if (value > std::numeric_limits<std::int32_t>::max()) {
    return std::numeric_limits<std::int32_t>::max();
  }
  if (value < std::numeric_limits<std::int32_t>::min()) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(value);
}

void readMoves(const Json& moves, JournalReader& reader, std::vector<Move>& out) {
  if (!moves.is_array()) {
    reader.record("moves must be an array");
    return;
  }
  for (const Json& element : moves) {
    if (!element.is_object()) {
      reader.record("a move must be an object");
      return;
    }
    // A move's own errors are not shown: a move is whole or malformed.
    JournalReader moveReader(element);
    const std::string from = moveReader.string("from", true);
    const std::string to = moveReader.string("to", true);
    std::string path = moveReader.string("path", true);
    const auto fromLocation = locationNamed(from);
    const auto toLocation = locationNamed(to);
    if (!moveReader.error().empty() || !fromLocation || !toLocation || path.empty()) {
      reader.record("a move is malformed");
      return;
    }
    out.push_back(Move{*fromLocation, *toLocation, std::move(path)});
  }
}

}  // namespace

std::string_view stateName(JournalState state) {
  switch (state) {
    case JournalState::staged: return "staged";
    case JournalState::swapping: return "swapping";
    case JournalState::swapped: return "swapped";
    case JournalState::confirmed: return "confirmed";
    case JournalState::rollingBack: return "rolling-back";
    case JournalState::rolledBack: return "rolled-back";
  }
  return {};
}

std::string_view locationName(Location location) {
  switch (location) {
    case Location::target: return "target";
    case Location::stage: return "stage";
    case Location::backup: return "backup";
    case Location::replaced: return "replaced";
  }
  return {};
}

Result<Journal> parseJournal(std::string_view text) {
  auto parsed = parseStrictJson(text, kJournalMaxDepth);
  if (!parsed) return damaged(parsed.error().message);
  const Json& root = *parsed;
  if (!root.is_object()) return damaged("not an object");

  // A version we do not know may mean anything: nothing else is looked at.
  auto version = root.find("journal");
  if (version == root.end() || !version->is_number_integer() || *version != 1) {
    return damaged("unknown journal version");
  }

  Journal journal;
  JournalReader reader(root);
  journal.id = reader.string("id", true);
  // The id names the attempt's folders in the workspace: anything else could
  // lead a swap or an undo outside it.
  if (!isAttemptId(journal.id)) reader.record("id is not an attempt id");
  journal.app = reader.string("app", true);
  journal.from = reader.string("from", true);
  journal.to = reader.string("to", true);

  const std::string state = reader.string("state", true);
  if (auto named = stateNamed(state)) {
    journal.state = *named;
  } else {
    reader.record("unknown state");
  }

  const std::string layout = reader.string("layout", true);
  if (layout != "folder" && layout != "bundle") reader.record("unknown layout");
  journal.layout = layout == "bundle" ? Layout::bundle : Layout::folder;

  journal.executable = reader.string("executable", true);
  journal.package = reader.string("package", false);
  journal.preserve = reader.strings("preserve");
  journal.lastError = reader.string("lastError", false);

  if (const Json* relaunch = reader.find("relaunch"); relaunch && relaunch->is_object()) {
    JournalReader inner(*relaunch);
    journal.relaunch.args = inner.strings("args");
    journal.relaunch.cwd = inner.string("cwd", false);
    reader.recordNested("relaunch", inner);
  }

  if (const Json* timeouts = reader.find("timeouts"); timeouts && timeouts->is_object()) {
    JournalReader inner(*timeouts);
    Timeouts& t = journal.timeouts;
    t.exitMs = inner.integer("exitMs", t.exitMs);
    t.confirmMs = inner.integer("confirmMs", t.confirmMs);
    t.retryAttempts = saturatedInt32(inner.integer("retryAttempts", t.retryAttempts));
    t.retryDelayMs = inner.integer("retryDelayMs", t.retryDelayMs);
    t.retryMaxDelayMs = inner.integer("retryMaxDelayMs", t.retryMaxDelayMs);
    reader.recordNested("timeouts", inner);
  }

  if (const Json* moves = reader.find("moves")) readMoves(*moves, reader, journal.moves);

  if (const Json* outcome = reader.find("outcome"); outcome && outcome->is_object()) {
    JournalReader inner(*outcome);
    OutcomeRecord record;
    record.result = inner.string("result", true);
    record.reason = inner.string("reason", false);
    record.detail = inner.string("detail", false);
    journal.kept = inner.string("kept", false);
    const std::int64_t keptBytes = inner.integer("keptBytes", -1);
    if (!journal.kept.empty()) journal.keptBytes = keptBytes < 0 ? kUnknownKeptBytes : static_cast<std::uint64_t>(keptBytes);
    journal.outcome = std::move(record);
    reader.recordNested("outcome", inner);
  }

  if (const Json* reported = reader.find("reported"); reported && reported->is_boolean()) {
    journal.reported = reported->get<bool>();
  }

  if (!reader.error().empty()) return damaged(reader.error());
  return journal;
}

std::string serializeJournal(const Journal& journal) {
  Json moves = Json::array();
  for (const Move& move : journal.moves) {
    moves.push_back(Json{{"from", locationName(move.from)},
                         {"path", move.path},
                         {"to", locationName(move.to)}});
  }
  const Timeouts& t = journal.timeouts;

  Json root = Json::object();
  root["journal"] = 1;
  root["id"] = journal.id;
  root["app"] = journal.app;
  root["from"] = journal.from;
  root["to"] = journal.to;
  root["state"] = stateName(journal.state);
  root["layout"] = layoutName(journal.layout);
  root["executable"] = journal.executable;
  root["package"] = journal.package;
  root["preserve"] = Json(journal.preserve);
  root["relaunch"] = Json{{"args", Json(journal.relaunch.args)}, {"cwd", journal.relaunch.cwd}};
  root["timeouts"] = Json{{"exitMs", t.exitMs},
                          {"confirmMs", t.confirmMs},
                          {"retryAttempts", t.retryAttempts},
                          {"retryDelayMs", t.retryDelayMs},
                          {"retryMaxDelayMs", t.retryMaxDelayMs}};
  root["moves"] = std::move(moves);
  if (journal.outcome) {
    root["outcome"] = Json{{"result", journal.outcome->result},
                           {"reason", journal.outcome->reason},
                           {"detail", journal.outcome->detail}};
    // New keys only when there is something to name: earlier readers of
    // the journal ignore them.
    if (!journal.kept.empty()) {
      root["outcome"]["kept"] = journal.kept;
      if (journal.keptBytes != kUnknownKeptBytes) root["outcome"]["keptBytes"] = journal.keptBytes;
    }
  }
  root["reported"] = journal.reported;
  if (!journal.lastError.empty()) root["lastError"] = journal.lastError;

  // Texts come from the journal read and from system messages; a stray
  // invalid byte must not throw in the middle of a save, so it is replaced.
  return root.dump(2, ' ', /*ensure_ascii=*/false, Json::error_handler_t::replace) + "\n";
}

}  // namespace loftswitch
