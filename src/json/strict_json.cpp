#include "json/strict_json.h"

#include <set>
#include <utility>

namespace loftswitch {

namespace {

using Json = nlohmann::json;

// One entry per open container; an array's entry stays empty.
class StrictRules {
 public:
  explicit StrictRules(std::uint32_t maxDepth) : maxDepth_(maxDepth) {}

  // Counts containers on its own stack: the library's depth argument is
  // not relied on.
  bool operator()(int /*depth*/, Json::parse_event_t event, Json& parsed) {
    switch (event) {
      case Json::parse_event_t::object_start:
      case Json::parse_event_t::array_start:
        if (open_.size() >= maxDepth_) {
          throw Violation("nested deeper than " + std::to_string(maxDepth_) + " levels");
        }
        open_.emplace_back();
        break;
      case Json::parse_event_t::object_end:
      case Json::parse_event_t::array_end:
        if (!open_.empty()) open_.pop_back();
        break;
      case Json::parse_event_t::key: {
        const auto& key = parsed.get_ref<const std::string&>();
        if (!open_.empty() && !open_.back().insert(key).second) {
          throw Violation("duplicate key \"" + key + "\"");
        }
        break;
      }
      case Json::parse_event_t::value:
        break;
    }
    return true;
  }

 private:
  std::uint32_t maxDepth_;
  std::vector<std::set<std::string>> open_;
};

}  // namespace

Result<Json> parseStrictJson(std::string_view text, std::uint32_t maxDepth) {
  StrictRules rules(maxDepth);
  try {
    Json document = Json::parse(text.begin(), text.end(), std::ref(rules),
                                /*allow_exceptions=*/true, /*ignore_comments=*/false);
    // The library takes a null byte for the end of the input, so whatever
    // follows one would be ignored. Valid JSON holds no raw null byte at all
    // (strings refuse it), so one found after a successful parse is text
    // after the value.
    if (text.find('\0') != std::string_view::npos) {
      return fail(ErrorCode::invalidData, "a null byte follows the value");
    }
    return document;
  } catch (const Violation& violation) {
    return fail(ErrorCode::invalidData, violation.what());
  } catch (const Json::exception& error) {
    return fail(ErrorCode::invalidData, error.what());
  }
}

Error contextError(std::string_view context, std::string_view detail) {
  std::string message(context);
  message += ": ";
  message += detail;
  return Error{ErrorCode::invalidData, std::move(message)};
}

FieldReader::FieldReader(const Json& object, std::string context)
    : object_(object), context_(std::move(context)) {}

const Json* FieldReader::find(std::string_view key) const {
  if (!object_.is_object()) return nullptr;
  auto it = object_.find(key);
  return it == object_.end() ? nullptr : &*it;
}

void FieldReader::record(std::string text) {
  if (firstError_.empty()) firstError_ = std::move(text);
}

std::string FieldReader::string(std::string_view key, bool required) {
  const Json* value = find(key);
  if (value != nullptr && value->is_string()) return value->get<std::string>();
  if (value != nullptr || required) record(std::string(key) + " must be a string");
  return {};
}

std::vector<std::string> FieldReader::strings(std::string_view key) {
  const Json* value = find(key);
  if (value == nullptr) return {};
  std::vector<std::string> result;
  if (value->is_array()) {
    result.reserve(value->size());
    for (const Json& element : *value) {
      if (!element.is_string()) break;
      result.push_back(element.get<std::string>());
    }
    if (result.size() == value->size()) return result;
  }
  record(std::string(key) + " must be an array of strings");
  return {};
}

std::uint64_t FieldReader::integer(std::string_view key, std::uint64_t fallback,
                                   std::uint64_t max) {
  const Json* value = find(key);
  if (value == nullptr) return fallback;
  // The library stores a number as unsigned only when it was written without
  // minus sign, fraction or exponent and fits in 64 bits.
  if (value->is_number_unsigned()) {
    const auto number = value->get<std::uint64_t>();
    if (number <= max) return number;
  }
  record(std::string(key) + " must be an integer from 0 to " + std::to_string(max));
  return fallback;
}

Result<Unit> FieldReader::finish() const {
  if (firstError_.empty()) return Unit{};
  return fail(contextError(context_, firstError_));
}

}  // namespace loftswitch
