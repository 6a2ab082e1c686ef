#include "feed/feed.h"

#include <random>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "elevated/validate.h"
#include "elevated/verify.h"
#include "support/matchers.h"
#include "support/memory_file_system.h"

namespace loftswitch {
namespace {

using ::testing::HasSubstr;

constexpr std::int64_t kNow = 1700000000;  // 2023-11-14T22:13:20Z
const std::filesystem::path kState = "C:/App/.loftswitch/feeds.json";
const std::string kFeedUrl = "https://u.example/feeds/stable.json";

Ed25519Seed seedOf(std::uint8_t n) { Ed25519Seed seed{}; seed.fill(n); return seed; }
Ed25519Key keyOf(std::uint8_t n) { return *ed25519PublicKey(seedOf(n)); }
std::span<const std::uint8_t> bytesOf(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The envelope as the format states it, signed with key `key`.
std::string envelope(const std::string& body, std::uint8_t key = 1) {
  const auto signature = ed25519Sign(seedOf(key), bytesOf("loftswitch feed v1\n" + body));
  return "loftswitch feed v1 " + encodeBase64(*signature) + "\n" + body;
}

// A package offer signed by the publisher's key `key` for app "demo"; with
// `from`, a delta made from that version.
nlohmann::json offer(const std::string& version, const std::string& platform = "windows-x64",
                     std::uint8_t key = 1, const std::string& from = "") {
  UpdateRequest fields;
  fields.version = version;
  fields.from = from;
  fields.platform = platform;
  fields.notes = "notes of " + version;
  fields.size = 1000 + version.size();
  fields.sha256 = Sha256::digest(version + from);
  const std::string message = buildSignedMessage("demo", fields);
  nlohmann::json offer = {{"kind", from.empty() ? "full" : "delta"}, {"version", version}, {"platform", platform},
          {"url", "pkgs/" + version + ".zip"}, {"size", fields.size},
          {"sha256", toHex(fields.sha256)}, {"notes", fields.notes},
          {"signature", encodeBase64(*ed25519Sign(seedOf(key), bytesOf(message)))}};
  if (!from.empty()) offer["from"] = from;
  return offer;
}

// A discarded `value` leaves the key out.
nlohmann::json with(nlohmann::json object, const char* key, nlohmann::json value) {
  if (value.is_discarded()) return object.erase(key), object;
  object[key] = std::move(value);
  return object;
}

std::string body(std::int64_t published, const std::vector<nlohmann::json>& offers = {},
                 const nlohmann::json& changes = nlohmann::json::object()) {
  nlohmann::json feed = {{"loftswitch_feed", 1}, {"app", "demo"}, {"channel", "stable"},
                         {"published", formatUtcTime(published)},
                         {"expires", formatUtcTime(published + 86400)}, {"offers", offers}};
  feed.update(changes);
  return feed.dump(1);
}

InstallDescription install() {
  InstallDescription description;
  description.app = "demo";
  description.version = "1.0";
  description.publicKeys = {keyOf(1), keyOf(2)};
  description.platforms = {"windows-x64", "windows-arm64"};
  return description;
}

struct Checker {
  MemoryFileSystem fs;
  Result<CheckedFeed> check(const std::string& bytes, FeedCheck options = {}) {
    options.feedUrl = kFeedUrl;
    if (options.now == 0) options.now = kNow;
    return checkFeed(fs, kState, install(), bytes, options);
  }
};

// Each feed an install must not trust is refused with its reason, and
// leaves the record of accepted feeds exactly as it was. Every byte of a
// signed feed counts.
TEST(FeedCheckTest, RefusesEveryUntrustworthyFeedAndRemembersNothingOfIt) {
  Checker checker;
  ASSERT_THAT(checker.check(envelope(body(kNow - 10))), IsOkay());
  const auto before = checker.fs.snapshot();
  const struct {
    const char* name;
    std::string bytes;
    std::string refusal;
  } rows[] = {
      {"another key", envelope(body(kNow), 9), "doesn't verify with any trusted key"},
      {"another app", envelope(body(kNow, {}, {{"app", "other"}})), "it is for app other, not demo"},
      {"another channel", envelope(body(kNow, {}, {{"channel", "beta"}})), "for channel beta, not stable"},
      {"expired", envelope(body(kNow - 86400)), "it expired at 2023-11-14T22:13:20Z"},
      {"from the future", envelope(body(kNow + kClockSkewSeconds + 1)), "ahead of this computer's clock"},
      {"older than the last one seen", envelope(body(kNow - 11)), "before the feed this install accepted last"},
      {"no envelope", body(kNow), "not a signed loftswitch feed"},
      {"a signed body that is no feed", envelope("{}"), "not a version 1 feed"},
      {"an offer's size", envelope(body(kNow, {with(offer("2.0"), "size", 0)})),
       "offer 1: size must be at least 1"},
      {"an offer's version", envelope(body(kNow, {offer("2.0"), with(offer("2.0"), "version", "2..0")})),
       "offer 2: version is not a valid version"},
      {"an offer's platform", envelope(body(kNow, {with(offer("2.0"), "platform", "Win")})),
       "platform is not a valid name"},
      {"an offer's url", envelope(body(kNow, {with(offer("2.0"), "url", "")})), "url is empty"},
      {"an offer's digest", envelope(body(kNow, {with(offer("2.0"), "sha256", "AB")})), "sha256 must be 64"},
      {"an offer's signature", envelope(body(kNow, {with(offer("2.0"), "signature", std::string(84, 'A'))})),
       "signature must be 64 bytes"},
      {"an offer without its signature", envelope(body(kNow, {with(offer("2.0"), "signature", nlohmann::json::value_t::discarded)})),
       "offer 1: signature must be a string"},
      {"an offer that is no object", envelope(body(kNow, {1})), "offer 1 is not an object"},
      {"offers that are no list", envelope(body(kNow, {}, {{"offers", nlohmann::json::object()}})),
       "offers must be an array"},
      {"no app", envelope(with(nlohmann::json::parse(body(kNow)), "app", nlohmann::json::value_t::discarded).dump()), "app must be a string"},
      {"no channel", envelope(with(nlohmann::json::parse(body(kNow)), "channel", nlohmann::json::value_t::discarded).dump()),
       "channel must be a string"},
      {"an app id", envelope(body(kNow, {}, {{"app", "Demo"}})), "app is not a valid id"},
      {"a channel name", envelope(body(kNow, {}, {{"channel", "Beta"}})), "channel is not a valid name"},
      {"a time", envelope(body(kNow, {}, {{"published", "yesterday"}})), "must be UTC times"},
      {"a feed expiring as it is published", envelope(body(kNow, {}, {{"expires", formatUtcTime(kNow)}})),
       "it expires before it was published"},
  };
  for (const auto& row : rows) {
    EXPECT_THAT(checker.check(row.bytes), FailsWithMessageThat(HasSubstr(row.refusal))) << row.name;
    EXPECT_EQ(checker.fs.snapshot(), before) << row.name;
  }
  const std::string good = envelope(body(kNow));
  std::vector<std::size_t> positions = {good.size() - 1};
  for (std::size_t i = 0; i < good.size(); i += 3) positions.push_back(i);
  for (const std::size_t i : positions) {
    std::string tampered = good;
    tampered[i] ^= 0x01;
    EXPECT_FALSE(checker.check(tampered)) << "byte " << i;
  }
  EXPECT_EQ(checker.fs.snapshot(), before);
  EXPECT_THAT(checker.check(good), IsOkay());
}

// The newest package the install may take: its platforms, newer than it,
// signed by a key it trusts, not rolled back here; its delta from the
// installed version unless staging refused that here; unknown kinds of
// offer are for other readers.
TEST(FeedCheckTest, OffersTheNewestPackageThisInstallMayTake) {
  const std::vector<nlohmann::json> offers = {
      offer("0.9"), offer("1.0"), offer("3.0", "linux-x64"), offer("2.5", "windows-x64", 9),
      offer("2.2"), offer("2.1", "windows-arm64"), offer("2.1"), offer("2.1", "windows-x64", 1, "1.0"),
      offer("2.5", "windows-x64", 1, "0.9"), {{"kind", "patch"}, {"version", "9.0"}}, offer("2.0")};
  const std::string feed = envelope(body(kNow, offers));
  FeedCheck options;
  options.rolledBack = {{"2.2.0", "exited: crashed"}};
  Checker checker;
  auto found = checker.check(feed, options);
  ASSERT_THAT(found, IsOkay());
  EXPECT_TRUE(found->present);
  EXPECT_EQ(std::tie(found->offer.version, found->offer.platform, found->offer.from),
            std::tie("2.1", "windows-x64", "1.0"));
  EXPECT_THAT(found->message, HasSubstr("2.1 for windows-x64 is offered as a delta from the installed 1.0"));
  EXPECT_EQ(found->packageUrl, "https://u.example/feeds/pkgs/2.1.zip");
  EXPECT_EQ(found->published, "2023-11-14T22:13:20Z");
  EXPECT_THAT(found->message, HasSubstr("skipped 2.5 for windows-x64: the update's signature"));
  EXPECT_THAT(found->message, HasSubstr("skipped 2.2 for windows-x64: it was rolled back on this "
                                        "install (exited: crashed)"));
  // The signed fields as staging reads them, and nothing else.
  nlohmann::json fields = offer("2.1", "windows-x64", 1, "1.0");
  for (const char* key : {"kind", "url"}) fields.erase(key);
  EXPECT_EQ(nlohmann::json::parse(found->signedJson), fields);
  EXPECT_FALSE(found->message.contains("0.9")) << found->message;
  // Once staging refused that delta here, the full package is offered, saying why.
  options.refusedDeltas = {{fields["sha256"], "a file was changed"}};
  found = checker.check(feed, options);
  EXPECT_TRUE(found->offer.from.empty() && found->offer.version == "2.1") << found->message;
  EXPECT_THAT(found->message, HasSubstr("is offered as the full package on channel stable"));
  EXPECT_THAT(found->message, HasSubstr("skipped the delta from 1.0 to 2.1 for windows-x64: staging "
                                        "refused it on this install (a file was changed)"));

  options.retryRolledBack = true;
  EXPECT_EQ(checker.check(feed, options)->offer.version, "2.2");
  const auto none = checker.check(envelope(body(kNow, {offer("0.9"), offer("3.0", "linux-x64")})));
  ASSERT_THAT(none, IsOkay());
  EXPECT_FALSE(none->present);
  EXPECT_THAT(none->message, HasSubstr("no update on channel stable: nothing newer than 1.0"));
}

// Per key, so that a key leaked and dated ahead cannot shut out its
// successor's feeds; per channel, so that changing channels is no replay.
TEST(FeedCheckTest, RemembersTheNewestFeedPerKeyAndChannel) {
  const struct {
    std::uint8_t key;
    const char* channel;
    std::int64_t published;
    bool accepted;
  } steps[] = {
      {1, "stable", kNow - 100, true},  {1, "stable", kNow - 101, false},
      {1, "stable", kNow - 100, true},  {2, "stable", kNow - 500, true},
      {1, "beta", kNow - 999, true},    {1, "stable", kNow + kClockSkewSeconds, true},
      {1, "stable", kNow - 100, false}, {2, "stable", kNow - 499, true},
      {2, "stable", kNow - 500, false}, {1, "beta", kNow - 1000, false},
  };
  Checker checker;
  for (const auto& step : steps) {
    FeedCheck options;
    options.channel = step.channel;
    const auto bytes = envelope(body(step.published, {}, {{"channel", step.channel}}), step.key);
    EXPECT_EQ(checker.check(bytes, options).has_value(), step.accepted)
        << int{step.key} << " " << step.channel << " " << step.published - kNow;
  }
  checker.fs.addFile(kState, "{\"loftswitch_feeds\": 2}");
  EXPECT_THAT(checker.check(envelope(body(kNow))), FailsWithCode(ErrorCode::io));
  EXPECT_EQ(checker.fs.fileContent(kState), "{\"loftswitch_feeds\": 2}");
}

// Publishing adds or replaces one offer, keeps what it does not know,
// never moves the publication back, and signs only what it may vouch for.
TEST(FeedPublishTest, AddsReplacesAndResignsOnlyWhatItMay) {
  Publication publication;
  std::tie(publication.app, publication.channel, publication.url) =
      std::tuple("demo", "stable", "pkgs/2.0.zip");
  const auto fields = [](const char* version, const char* app = "demo", const char* from = "") {
    UpdateRequest request;
    request.version = version;
    request.from = from;
    request.platform = "windows-x64";
    request.size = 5;
    const std::string message = buildSignedMessage(app, request);
    std::ranges::copy(*ed25519Sign(seedOf(1), bytesOf(message)), request.signature.begin());
    return request;
  };
  publication.offer = fields("2.0");
  publication.packageKeys = {keyOf(1)};
  publication.now = kNow;
  auto first = publishOffer(std::nullopt, seedOf(1), publication);
  ASSERT_THAT(first, IsOkay());
  // Another version, with the clock behind the last publication.
  publication.offer = fields("2.1");
  publication.app.clear();
  publication.now = kNow - 1000;
  auto second = publishOffer(*first, seedOf(1), publication);
  ASSERT_THAT(second, IsOkay());
  const auto read = [](const std::string& feed) { return *readFeed(openFeedEnvelope(feed)->body); };
  EXPECT_EQ(read(*second).published, kNow + 1);
  EXPECT_EQ(read(*second).expires, kNow + 1 + 30 * 86400);
  EXPECT_EQ(read(*second).offers.size(), 2u);
  // The same version written otherwise replaces it; a kind it does not know stays.
  nlohmann::json withDelta = nlohmann::json::parse(openFeedEnvelope(*second)->body);
  withDelta["offers"].push_back({{"kind", "patch"}, {"version", "2.1"}});
  publication.offer = fields("2.1.0");
  auto third = publishOffer(envelope(withDelta.dump()), seedOf(1), publication);
  ASSERT_THAT(third, IsOkay());
  const auto offers = nlohmann::json::parse(openFeedEnvelope(*third)->body)["offers"];
  ASSERT_EQ(offers.size(), 3u);
  EXPECT_EQ(std::tuple(offers[0]["version"], offers[1]["kind"], offers[2]["version"]),
            std::tuple("2.0", "patch", "2.1.0"));
  EXPECT_THAT(Checker().check(*third), IsOkay());
  // A delta goes beside the full package of its version.
  publication.offer = fields("2.1.0", "demo", "2.0");
  auto fourth = publishOffer(*third, seedOf(1), publication);
  ASSERT_THAT(fourth, IsOkay());
  EXPECT_THAT(read(*fourth).offers, testing::ElementsAre(testing::Field(&FeedOffer::from, ""),
              testing::Field(&FeedOffer::from, ""), testing::Field(&FeedOffer::from, "2.0")));

  const struct {
    const char* name;
    std::string feed, app, channel;
    UpdateRequest offer;
    std::string refusal;
  } rows[] = {
      {"a feed of another key", envelope(withDelta.dump(), 2), "", "stable", fields("2.2"),
       "the feed is not signed with this key"},
      {"a feed of another app", *first, "other", "stable", fields("2.2"), "for app demo, not other"},
      {"a feed of another channel", *first, "", "beta", fields("2.2"), "for channel stable, not beta"},
      {"fields of another app", *first, "", "stable", fields("2.2", "other"),
       "the signed fields don't verify for app demo"},
  };
  for (const auto& row : rows) {
    Publication refused = publication;
    std::tie(refused.app, refused.channel, refused.offer) = std::tie(row.app, row.channel, row.offer);
    EXPECT_THAT(publishOffer(row.feed, seedOf(1), refused),
                FailsWithMessageThat(HasSubstr(row.refusal))) << row.name;
  }
}

TEST(FeedTimeTest, ReadsOnlyUtcSecondsAndWritesWhatItReads) {
  EXPECT_EQ(parseUtcTime("2024-02-29T23:59:59Z"), 1709251199);
  for (const char* text : {"2023-02-29T00:00:00Z", "2024-04-31T00:00:00Z", "2024-01-01T24:00:00Z", "2024-01-01T00:60:00Z",
                           "2024-01-01 00:00:00Z", "2024-01-01T00:00:00", "2024-01-01T00:00:00+00:00",
                           "2024-1-01T00:00:00Z", "2024-01-01T00:00:0aZ"})
    EXPECT_EQ(parseUtcTime(text), std::nullopt) << text;
  std::mt19937_64 random(3);
  // The epoch first, then any second up to the year 9999.
  for (std::int64_t i = 0, seconds = 0; i < 2000; ++i, seconds = static_cast<std::int64_t>(random() % 253402300800))
    EXPECT_EQ(parseUtcTime(formatUtcTime(seconds)), seconds) << seconds;
}

}  // namespace
}  // namespace loftswitch
