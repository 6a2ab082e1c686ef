// Deciding on a feed: whether to trust it, which of its offers the install
// takes, and remembering it so that an older one is never trusted again.
#include <algorithm>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "download/url.h"
#include "elevated/validate.h"
#include "elevated/verify.h"
#include "elevated/version.h"
#include "feed/feed.h"
#include "json/strict_json.h"

namespace loftswitch {
namespace {

constexpr std::uint64_t kStateLimit = 0x100000;
constexpr std::uint64_t kPackageLimit = 0x100000000;

// The newest feed accepted per signing key and channel. Per key, so that a
// feed a leaked key dated far ahead cannot shut out the feeds of the key
// that replaces it; per channel, so that moving to a channel published
// less recently is no replay.
struct Accepted {
  std::string key, channel;
  std::int64_t published = 0;
};

Result<std::vector<Accepted>> readAccepted(FileSystem& fs, const std::filesystem::path& file) {
  auto text = fs.readFile(file, kStateLimit);
  if (!text) {
    if (text.error().code == ErrorCode::notFound) return std::vector<Accepted>();
    return fail(ErrorCode::io, "can't read the accepted feeds: " + text.error().message);
  }
  // Ours alone to write: a damaged record is reported, never guessed at.
  const std::string damaged = pathToUtf8(file) + " is damaged (delete it to trust the next " +
                              "feed that verifies): ";
  auto parsed = parseStrictJson(*text, 3);
  if (!parsed) return fail(ErrorCode::io, damaged + parsed.error().message);
  const auto list = parsed->is_object() ? parsed->find("accepted") : parsed->end();
  if (!parsed->is_object() || parsed->value("loftswitch_feeds", nlohmann::json()) != 1 ||
      list == parsed->end() || !list->is_array()) {
    return fail(ErrorCode::io, damaged + "not a version 1 record");
  }
  std::vector<Accepted> accepted;
  for (const nlohmann::json& entry : *list) {
    FieldReader reader(entry, "accepted");
    Accepted read{reader.string("key", true), reader.string("channel", true)};
    const auto published = parseUtcTime(reader.string("published", true));
    if (auto read = reader.finish(); !read) return fail(ErrorCode::io, damaged + read.error().message);
    if (!published) return fail(ErrorCode::io, damaged + "a time that does not read");
    read.published = *published;
    accepted.push_back(std::move(read));
  }
  return accepted;
}

Result<Unit> writeAccepted(FileSystem& fs, const std::filesystem::path& file,
                           const std::vector<Accepted>& accepted) {
  nlohmann::json list = nlohmann::json::array();
  for (const Accepted& entry : accepted) {
    list.push_back({{"key", entry.key},
                    {"channel", entry.channel},
                    {"published", formatUtcTime(entry.published)}});
  }
  const nlohmann::json document = {{"loftswitch_feeds", 1}, {"accepted", list}};
  if (auto written = fs.writeFile(file, document.dump(2) + "\n"); !written) {
    return fail(ErrorCode::io, "can't remember the accepted feed: " + written.error().message);
  }
  return Unit{};
}

std::unexpected<Error> refused(std::string detail) {
  return fail(ErrorCode::invalidData, "the feed is refused: " + std::move(detail));
}

UpdateRequest asRequest(const FeedOffer& offer) {
  UpdateRequest request;
  request.version = offer.version;
  request.from = offer.from;
  request.notes = offer.notes;
  request.platform = offer.platform;
  request.size = offer.size;
  request.sha256 = offer.sha256;
  request.signature = offer.signature;
  return request;
}

std::string signedFields(const FeedOffer& offer) {
  nlohmann::json fields = {{"version", offer.version},   {"notes", offer.notes},
                           {"platform", offer.platform}, {"size", offer.size},
                           {"sha256", toHex(offer.sha256)}, {"signature", encodeBase64(offer.signature)}};
  if (!offer.from.empty()) fields["from"] = offer.from;
  return fields.dump();
}

std::string offerName(const FeedOffer& offer) {
  return (offer.from.empty() ? "" : "the delta from " + offer.from + " to ") + offer.version +
         " for " + offer.platform;
}

}  // namespace

Result<CheckedFeed> checkFeed(FileSystem& fs, const std::filesystem::path& stateFile,
                              const InstallDescription& install, std::string_view bytes,
                              const FeedCheck& check) {
  auto envelope = openFeedEnvelope(bytes);
  if (!envelope) return refused(envelope.error().message);
  auto key = verifyFeed(*envelope, install.publicKeys);
  if (!key) return fail(ErrorCode::badSignature, "the feed is refused: " + key.error().message);
  auto feed = readFeed(envelope->body);
  if (!feed) return refused(feed.error().message);
  const std::string published = formatUtcTime(feed->published);
  if (feed->app != install.app) return refused("it is for app " + feed->app + ", not " + install.app);
  if (feed->channel != check.channel) {
    return refused("it is for channel " + feed->channel + ", not " + check.channel);
  }
  if (feed->published > check.now + kClockSkewSeconds) {
    return refused("it was published at " + published + ", ahead of this computer's clock (" +
                   formatUtcTime(check.now) + ")");
  }
  if (feed->expires <= check.now) {
    return refused("it expired at " + formatUtcTime(feed->expires) +
                   " (republish it to extend it)");
  }
  ASSIGN_OR_RETURN(std::vector<Accepted> accepted, readAccepted(fs, stateFile));
  const std::string keyText = encodeBase64(*key);
  const auto same = std::find_if(accepted.begin(), accepted.end(), [&](const Accepted& entry) {
    return entry.key == keyText && entry.channel == check.channel;
  });
  if (same != accepted.end() && feed->published < same->published) {
    return refused("it was published at " + published + ", before the feed this install " +
                   "accepted last (" + formatUtcTime(same->published) + "): an old feed is " +
                   "being served again");
  }

  const auto installed = parseVersion(install.version);
  std::vector<std::pair<Version, const FeedOffer*>> candidates;
  for (const FeedOffer& offer : feed->offers) {
    const auto version = parseVersion(offer.version);
    // A delta made from another version is of no use here, and no news.
    const bool fits = offer.from.empty() || offer.from == install.version;
    if (installed && version && fits && compareVersions(*version, *installed) > 0 &&
        std::ranges::find(install.platforms, offer.platform) != install.platforms.end()) {
      candidates.emplace_back(*version, &offer);
    }
  }
  // Newest first; for one version, the platform the install lists first,
  // and its delta before its full package.
  const auto rank = [&](const std::string& platform) {
    return std::ranges::find(install.platforms, platform) - install.platforms.begin();
  };
  std::ranges::sort(candidates, [&](const auto& a, const auto& b) {
    const int order = compareVersions(a.first, b.first);
    if (order != 0) return order > 0;
    if (a.second->platform != b.second->platform) {
      return rank(a.second->platform) < rank(b.second->platform);
    }
    return !a.second->from.empty() && b.second->from.empty();
  });
  CheckedFeed result;
  result.published = published;
  std::string skipped;
  for (const auto& [version, offer] : candidates) {
    const auto rolledBack = std::ranges::find_if(check.rolledBack, [&](const RolledBackVersion& r) {
      const auto other = parseVersion(r.version);
      return other && compareVersions(*other, version) == 0;
    });
    auto url = resolveUrl(check.feedUrl, offer->url);
    auto verified = checkOffer(install, asRequest(*offer), kPackageLimit);
    std::string why = !url ? url.error().message : !verified ? verified.error().message : "";
    if (rolledBack != check.rolledBack.end() && !check.retryRolledBack) {
      why = "it was rolled back on this install" +
            (rolledBack->why.empty() ? std::string() : " (" + rolledBack->why + ")") +
            "; check with \"retryRolledBack\": true to be offered it again";
    }
    const auto refusal = std::ranges::find(check.refusedDeltas, toHex(offer->sha256),
                                           &RefusedDelta::sha256);
    if (why.empty() && !offer->from.empty() && refusal != check.refusedDeltas.end()) {
      why = "staging refused it on this install (" + refusal->why + "), so the full package is "
            "what it needs";
    }
    if (!why.empty()) {
      skipped += "; skipped " + offerName(*offer) + ": " + why;
      continue;
    }
    result.present = true;
    result.offer = *offer;
    result.packageUrl = *url;
    result.signedJson = signedFields(*offer);
    result.message = "version " + offer->version + " for " + offer->platform + " is offered " +
                     (offer->from.empty() ? "as the full package"
                                          : "as a delta from the installed " + offer->from) +
                     " on channel " + check.channel + " (feed published " + published +
                     ")" + skipped;
    break;
  }
  if (!result.present) {
    result.message = "no update on channel " + check.channel + ": nothing newer than " +
                     install.version + " for this install (feed published " + published + ")" +
                     skipped;
  }

  if (same == accepted.end()) {
    accepted.push_back(Accepted{keyText, check.channel, feed->published});
    RETURN_IF_ERROR(writeAccepted(fs, stateFile, accepted));
  } else if (feed->published > same->published) {
    same->published = feed->published;
    RETURN_IF_ERROR(writeAccepted(fs, stateFile, accepted));
  }
  return result;
}

}  // namespace loftswitch
