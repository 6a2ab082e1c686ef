#pragma once

// The feed: one signed file that announces an app's packages on one channel.
//
//   loftswitch feed v1 <base64 Ed25519 signature>\n
//   <body>
//
// The signature covers "loftswitch feed v1\n" followed by the body's exact
// bytes, so that nothing is parsed before it verifies, no JSON is ever
// serialised again to be checked, and no package signature can pass for a
// feed's. The body is JSON: "loftswitch_feed": 1, "app", "channel",
// "published", "expires" (RFC 3339 UTC) and "offers", each with its "kind"
// ("full": a whole package; "delta": a delta package for an install of the
// version in its "from"; readers skip kinds they do not know and publishing
// keeps them), "version", "platform", "url" (absolute or relative
// to the feed), "size", "sha256", "notes" and the package's "signature".

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "elevated/ed25519.h"
#include "elevated/request.h"
#include "fs/file_system.h"

namespace loftswitch {

inline constexpr std::uint64_t kFeedLimit = 0x400000;
// How far a feed's publication may lie ahead of this computer's clock.
inline constexpr std::int64_t kClockSkewSeconds = 300;

// "2024-05-01T12:00:00Z" to seconds since 1970, and back. Nothing for any
// other form: the feed's times are UTC to the second.
std::optional<std::int64_t> parseUtcTime(std::string_view text);
std::string formatUtcTime(std::int64_t seconds);

// A package a feed offers: the signed fields of "loftswitch-pack sign" and
// where the package lies. A delta names the version it applies to in `from`.
struct FeedOffer {
  std::string version, from, platform, url, notes;
  std::uint64_t size = 0;
  Sha256Digest sha256{};
  Ed25519Signature signature{};
};

struct Feed {
  std::string app, channel;
  std::int64_t published = 0, expires = 0;
  std::vector<FeedOffer> offers;  // kinds "full" and "delta" only
};

// The envelope's signature and body; `invalidData` when the bytes are not one.
struct SignedFeed {
  Ed25519Signature signature{};
  std::string body;
};
[[nodiscard]] Result<SignedFeed> openFeedEnvelope(std::string_view bytes);

// The key among `keys` that signed the feed; `badSignature` when none did.
[[nodiscard]] Result<Ed25519Key> verifyFeed(const SignedFeed& feed,
                                            std::span<const Ed25519Key> keys);

// The body read and checked; every error is `invalidData`, "the feed: ...".
[[nodiscard]] Result<Feed> readFeed(std::string_view body);

// A version rolled back on this install, and why.
struct RolledBackVersion {
  std::string version, why;
};

// A delta package that staging refused on this install (by its SHA-256, in
// hex), and why: the full package is what the install needs then.
struct RefusedDelta {
  std::string sha256, why;
};

struct FeedCheck {
  std::string feedUrl;  // where the feed came from: relative package URLs lean on it
  std::string channel = "stable";
  std::int64_t now = 0;  // this computer's clock, seconds since 1970
  std::vector<RolledBackVersion> rolledBack;
  std::vector<RefusedDelta> refusedDeltas;
  bool retryRolledBack = false;
};

struct CheckedFeed {
  bool present = false;
  FeedOffer offer;
  std::string packageUrl;  // absolute
  std::string signedJson;  // the signed fields as loftswitch_stage_package takes them
  std::string published;
  std::string message;
};

// Accepts the feed's bytes only when they verify with a key the install
// trusts, are for its app and `check.channel`, have not expired, are not
// published in the future beyond kClockSkewSeconds, and are not older than
// the last feed accepted with the same key on the same channel (as recorded
// in `stateFile`); then picks the newest package for the install's
// platforms that is newer than its version, whose signature verifies, and
// that was not rolled back (unless asked): a delta made from the installed
// version before the full package, unless staging refused that delta here. The record is written only when
// all of that passed, and never goes back. Refusals are `badSignature` or
// `invalidData` and name their reason.
[[nodiscard]] Result<CheckedFeed> checkFeed(FileSystem& fs, const std::filesystem::path& stateFile,
                                            const InstallDescription& install,
                                            std::string_view bytes, const FeedCheck& check);

struct Publication {
  std::string app;  // empty: the existing feed's
  std::string channel;
  std::string url;     // the package's address as the feed holds it
  UpdateRequest offer;  // the signed fields of the package
  // The keys the package's signature may verify with: the feed's own, and
  // the ones its installs will trust.
  std::vector<Ed25519Key> packageKeys;
  std::int64_t now = 0;
  std::int64_t expiresDays = 30;
};

// The feed `existing` (nothing: a new one) with the offer added, or put in
// place of the one for the same version and platform, published at `now`
// (later than the feed it replaces even if the clock says otherwise) and
// signed with `seed`. Refuses (`invalidData`, `badSignature`) a feed that
// this key did not sign, of another app or channel, and an offer whose
// signature does not verify for the feed's app.
[[nodiscard]] Result<std::string> publishOffer(std::optional<std::string_view> existing,
                                               const Ed25519Seed& seed,
                                               const Publication& publication);

}  // namespace loftswitch
