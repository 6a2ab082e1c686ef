#include "feed/feed.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "elevated/validate.h"
#include "elevated/verify.h"
#include "elevated/version.h"
#include "json/strict_json.h"

namespace loftswitch {
namespace {

constexpr std::string_view kMagic = "loftswitch feed v1";
constexpr std::string_view kFullKind = "full";
constexpr std::string_view kDeltaKind = "delta";
constexpr std::int64_t kDay = 86400;
// Room for the offers' own objects and what later kinds may nest in them.
constexpr std::uint32_t kFeedDepth = 6;
constexpr std::uint64_t kMaxSize = 9007199254740991;

std::string signedMessage(std::string_view body) {
  return std::string(kMagic) + "\n" + std::string(body);
}

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::unexpected<Error> damaged(std::string_view detail) {
  return fail(contextError("the feed", detail));
}

bool knownKind(const nlohmann::json& offer) {
  const auto kind = offer.find("kind");
  return kind == offer.end() || *kind == kFullKind || *kind == kDeltaKind;
}

bool deltaKind(const nlohmann::json& offer) {
  const auto kind = offer.find("kind");
  return kind != offer.end() && *kind == kDeltaKind;
}

template <std::size_t N>
bool decodeInto(const std::optional<Bytes>& decoded, std::array<std::uint8_t, N>& out) {
  if (!decoded || decoded->size() != N) return false;
  std::copy(decoded->begin(), decoded->end(), out.begin());
  return true;
}

Result<FeedOffer> readOffer(const nlohmann::json& object, std::size_t index) {
  const std::string where = "offer " + std::to_string(index + 1);
  if (!object.is_object()) return damaged(where + " is not an object");
  FieldReader reader(object, "the feed: " + where);
  FeedOffer offer;
  const bool delta = deltaKind(object);
  offer.version = reader.string("version", true);
  offer.from = reader.string("from", delta);
  offer.platform = reader.string("platform", true);
  offer.url = reader.string("url", true);
  offer.notes = reader.string("notes", false);
  offer.size = reader.integer("size", 0, kMaxSize);
  const std::string sha256 = reader.string("sha256", true);
  const std::string signature = reader.string("signature", true);
  RETURN_IF_ERROR(reader.finish());
  if (!parseVersion(offer.version)) return damaged(where + ": version is not a valid version");
  // Only a delta applies to one version; "from" on a full package would
  // read as a delta's signed fields.
  if (delta ? !parseVersion(offer.from) : !offer.from.empty()) {
    return damaged(where + (delta ? ": from is not a valid version" : ": a full package has no from"));
  }
  if (!isValidName(offer.platform)) return damaged(where + ": platform is not a valid name");
  if (offer.url.empty()) return damaged(where + ": url is empty");
  if (offer.size < 1) return damaged(where + ": size must be at least 1");
  if (!decodeInto(decodeHex(sha256), offer.sha256)) {
    return damaged(where + ": sha256 must be 64 lowercase hex digits");
  }
  if (!decodeInto(decodeBase64(signature), offer.signature)) {
    return damaged(where + ": signature must be 64 bytes of base64");
  }
  return offer;
}

Result<nlohmann::json> parseBody(std::string_view body) {
  auto parsed = parseStrictJson(body, kFeedDepth);
  if (!parsed) return damaged(parsed.error().message);
  if (!parsed->is_object() || !parsed->contains("loftswitch_feed") ||
      (*parsed)["loftswitch_feed"] != nlohmann::json(1)) {
    return damaged("not a version 1 feed");
  }
  return std::move(*parsed);
}

Result<Feed> readDocument(const nlohmann::json& document) {
  FieldReader reader(document, "the feed");
  Feed feed;
  feed.app = reader.string("app", true);
  feed.channel = reader.string("channel", true);
  const std::string published = reader.string("published", true);
  const std::string expires = reader.string("expires", true);
  RETURN_IF_ERROR(reader.finish());
  const auto offers = document.find("offers");
  if (offers == document.end() || !offers->is_array()) return damaged("offers must be an array");
  if (!isValidName(feed.app)) return damaged("app is not a valid id");
  if (!isValidName(feed.channel)) return damaged("channel is not a valid name");
  const auto publishedAt = parseUtcTime(published);
  const auto expiresAt = parseUtcTime(expires);
  if (!publishedAt || !expiresAt) {
    return damaged("published and expires must be UTC times such as 2024-05-01T12:00:00Z");
  }
  if (*expiresAt <= *publishedAt) return damaged("it expires before it was published");
  feed.published = *publishedAt;
  feed.expires = *expiresAt;
  for (std::size_t i = 0; i < offers->size(); ++i) {
    const nlohmann::json& offer = (*offers)[i];
    if (offer.is_object() && !knownKind(offer)) continue;
    ASSIGN_OR_RETURN(FeedOffer read, readOffer(offer, i));
    feed.offers.push_back(std::move(read));
  }
  return feed;
}

}  // namespace

std::optional<std::int64_t> parseUtcTime(std::string_view text) {
  // "YYYY-MM-DDTHH:MM:SSZ": digits everywhere but these places.
  constexpr std::string_view kShape = "0000-00-00T00:00:00Z";
  if (text.size() != kShape.size()) return std::nullopt;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == '0' ? !digit : text[i] != kShape[i]) return std::nullopt;
  }
  const auto number = [&](std::size_t at, std::size_t length) {
    int value = 0;
    for (std::size_t i = at; i < at + length; ++i) value = value * 10 + (text[i] - '0');
    return value;
  };
  using namespace std::chrono;
  const year_month_day date{year(number(0, 4)), month(static_cast<unsigned>(number(5, 2))),
                            day(static_cast<unsigned>(number(8, 2)))};
  const int hours = number(11, 2), minutes = number(14, 2), seconds = number(17, 2);
  if (!date.ok() || hours > 23 || minutes > 59 || seconds > 59) return std::nullopt;
  return sys_days(date).time_since_epoch().count() * kDay + hours * 3600 + minutes * 60 + seconds;
}

std::string formatUtcTime(std::int64_t seconds) {
  using namespace std::chrono;
  const std::int64_t days = seconds / kDay - (seconds % kDay < 0 ? 1 : 0);
  const std::int64_t inDay = seconds - days * kDay;
  const year_month_day date{sys_days(std::chrono::days(days))};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(inDay / 3600), static_cast<int>(inDay / 60 % 60),
                static_cast<int>(inDay % 60));
  return text;
}

Result<SignedFeed> openFeedEnvelope(std::string_view bytes) {
  const std::size_t end = bytes.find('\n');
  const std::string_view first = bytes.substr(0, end);
  SignedFeed feed;
  if (end == std::string_view::npos || !first.starts_with(std::string(kMagic) + " ") ||
      !decodeInto(decodeBase64(first.substr(kMagic.size() + 1)), feed.signature)) {
    return fail(ErrorCode::invalidData,
                "not a signed loftswitch feed (its first line must be \"loftswitch feed v1 "
                "<signature>\")");
  }
  feed.body = std::string(bytes.substr(end + 1));
  return feed;
}

Result<Ed25519Key> verifyFeed(const SignedFeed& feed, std::span<const Ed25519Key> keys) {
  const std::string message = signedMessage(feed.body);
  for (const Ed25519Key& key : keys) {
    if (ed25519Verify(feed.signature, key, bytesOf(message))) return key;
  }
  return fail(ErrorCode::badSignature, "the feed's signature doesn't verify with any trusted key");
}

Result<Feed> readFeed(std::string_view body) {
  ASSIGN_OR_RETURN(const nlohmann::json document, parseBody(body));
  return readDocument(document);
}

Result<std::string> publishOffer(std::optional<std::string_view> existing, const Ed25519Seed& seed,
                                 const Publication& publication) {
  const auto publicKey = ed25519PublicKey(seed);
  if (!publicKey) return fail(ErrorCode::io, "can't derive the public key");
  nlohmann::json document;
  std::optional<std::int64_t> previous;
  std::string app = publication.app;
  if (existing) {
    ASSIGN_OR_RETURN(const SignedFeed envelope, openFeedEnvelope(*existing));
    // Re-signing offers that someone else put in would vouch for them.
    if (!verifyFeed(envelope, std::span(&*publicKey, 1))) {
      return fail(ErrorCode::badSignature,
                  "the feed is not signed with this key: publish with the key that signed it, or "
                  "move the feed away to start a new one");
    }
    ASSIGN_OR_RETURN(document, parseBody(envelope.body));
    ASSIGN_OR_RETURN(const Feed feed, readDocument(document));
    if (!app.empty() && feed.app != app) {
      return fail(ErrorCode::invalidData, "the feed is for app " + feed.app + ", not " + app);
    }
    if (feed.channel != publication.channel) {
      return fail(ErrorCode::invalidData, "the feed is for channel " + feed.channel + ", not " +
                                              publication.channel + ": each channel has a feed");
    }
    app = feed.app;
    previous = feed.published;
  } else {
    if (!isValidName(app)) return fail(ErrorCode::invalidData, "a new feed needs a valid app id");
    if (!isValidName(publication.channel)) {
      return fail(ErrorCode::invalidData, "the channel \"" + publication.channel +
                                              "\" is not 1 to 64 characters of a-z, 0-9, '-', "
                                              "'.', '_'");
    }
    document = {{"loftswitch_feed", 1}, {"app", app}, {"channel", publication.channel},
                {"offers", nlohmann::json::array()}};
  }
  const UpdateRequest& offer = publication.offer;
  if (auto verified = verifyPackageSignature(app, offer, publication.packageKeys); !verified) {
    return fail(ErrorCode::badSignature,
                "the signed fields don't verify for app " + app + " with this key or the "
                "package's own: " + verified.error().message);
  }
  const auto version = parseVersion(offer.version);
  if (!version || publication.url.empty()) {
    return fail(ErrorCode::invalidData, "the offer needs a version and a URL");
  }
  nlohmann::json offers = nlohmann::json::array();
  for (const nlohmann::json& other : document["offers"]) {
    const auto otherVersion = other.is_object() && knownKind(other)
                                  ? parseVersion(other.value("version", ""))
                                  : std::nullopt;
    const bool replaced = otherVersion && other.value("platform", "") == offer.platform &&
                          compareVersions(*otherVersion, *version) == 0 &&
                          deltaKind(other) == !offer.from.empty() &&
                          other.value("from", "") == offer.from;
    if (!replaced) offers.push_back(other);
  }
  nlohmann::json added = {{"kind", offer.from.empty() ? kFullKind : kDeltaKind},
                          {"version", offer.version},
                          {"platform", offer.platform},
                          {"url", publication.url},
                          {"size", offer.size},
                          {"sha256", toHex(offer.sha256)},
                          {"notes", offer.notes},
                          {"signature", encodeBase64(offer.signature)}};
  if (!offer.from.empty()) added["from"] = offer.from;
  offers.push_back(std::move(added));
  document["offers"] = std::move(offers);
  const std::int64_t published =
      previous ? std::max(publication.now, *previous + 1) : publication.now;
  if (publication.expiresDays < 1 || publication.expiresDays > 3650) {
    return fail(ErrorCode::invalidData, "a feed expires in 1 to 3650 days");
  }
  document["published"] = formatUtcTime(published);
  document["expires"] = formatUtcTime(published + publication.expiresDays * kDay);
  const std::string body = document.dump(2) + "\n";
  const auto signature = ed25519Sign(seed, bytesOf(signedMessage(body)));
  if (!signature) return fail(ErrorCode::io, "can't sign the feed");
  return std::string(kMagic) + " " + encodeBase64(*signature) + "\n" + body;
}

}  // namespace loftswitch
