// Two devices syncing through one account, on the embedded store and on
// PostgreSQL, with the server's faults injected through its rules.

#include <gtest/gtest.h>


#include <fstream>
#include <iterator>

#include "tests/e2e/NotificationWatch.h"
#include "tests/e2e/SyncE2EFixture.h"
#include "tests/support/PrivateServers.h"

namespace e2e {
namespace {

using foundation::PlistValue;

// A field of one dumped record of the device, or empty.
std::string fieldOf(DeviceProcess& device, const std::string& id, const std::string& key) {
    auto dump = device.dump();
    if (!dump) return {};
    for (const auto& entry : *dump) {
        const auto* d = entry.asDictionary();
        if (!d || !d->count("id") || !d->at("id").asString() || *d->at("id").asString() != id) continue;
        if (d->count(key) && d->at(key).asString()) return *d->at(key).asString();
        const auto* fields = d->count("fields") ? d->at("fields").asDictionary() : nullptr;
        if (fields && fields->count(key) && fields->at(key).asString()) return *fields->at(key).asString();
    }
    return {};
}

std::string listID(DeviceProcess& device, const std::string& name) {
    auto dump = device.dump();
    if (!dump) return {};
    for (const auto& entry : *dump) {
        const auto* d = entry.asDictionary();
        if (!d || !d->count("type") || *d->at("type").asString() != "List") continue;
        const auto* fields = d->at("fields").asDictionary();
        if (fields && fields->count("name") && fields->at("name").asString() && *fields->at("name").asString() == name)
            return *d->at("id").asString();
    }
    return {};
}

class SyncE2E : public SyncE2EFixture {};

TEST_P(SyncE2E, TextImageAndListMembershipReachTheOtherDevice) {
    ASSERT_TRUE(launchBoth());
    ASSERT_TRUE(steps(*a_, {"list Work", "copy hello", "copy-image " + resource("AppIcon.png"),
                            "move hello Work", "idle"}));
    ASSERT_TRUE(fetch(*b_));
    const std::string text = b_->clippingWithText("hello");
    ASSERT_FALSE(text.empty()) << b_->transcript();
    EXPECT_EQ(fieldOf(*b_, text, "list"), listID(*a_, "Work"));
    EXPECT_TRUE(converged("a text, an image and a clipping in a list, made on A"));
}

TEST_P(SyncE2E, TheCheckerShowsScenarioSeedAndDifference) {
    ASSERT_TRUE(launchBoth());
    ASSERT_TRUE(account_->takeOffline(b_->deviceID()));
    ASSERT_TRUE(steps(*a_, {"copy unseen", "idle"}));
    auto result = converged("B cut off", std::chrono::seconds(1));
    ASSERT_FALSE(result);
    const std::string message = result.message();
    const std::string id = a_->clippingWithText("unseen");
    EXPECT_NE(message.find("scenario \"B cut off\", seed " + std::to_string(seed_)), std::string::npos) << message;
    EXPECT_NE(message.find("B differs from the zone:\n  Clipping " + id + ": only on zone"), std::string::npos)
        << message;
    EXPECT_EQ(message.find("A differs from the zone"), std::string::npos) << message;
    ASSERT_TRUE(account_->clearFaults());
    EXPECT_TRUE(converged("B back"));
}

TEST_P(SyncE2E, AGroupCopiedOnALandsOnBsClipboardInOrderWithOneNotification) {
    // B announces the synced clipboard on a session bus of this test's own
    // (the devices inherit it), to this recorder.
    auto bus = testsupport::PrivateSessionBus::start();
    ASSERT_TRUE(bus) << "dbus-daemon did not start";
    auto watch = NotificationWatch::start();
    ASSERT_TRUE(watch) << "the notification service's name was taken";
    auto notifications = [&](size_t atLeast) { return watch->notified(atLeast); };
    auto clipboardOfBBecomes = [&](const std::string& expected) {
        return eventually([&] { return b_->pasteboard() == expected; }, std::chrono::seconds(20));
    };

    ASSERT_TRUE(launchBoth());
    ASSERT_TRUE(steps(*b_, {"clipboard-sync on", "notifications content"}));
    // Captured on A while its clipboard sync is off: they stay off B's clipboard.
    ASSERT_TRUE(steps(*a_, {"copy g1", "copy g2", "copy g3", "idle"}));
    ASSERT_TRUE(fetch(*b_));
    EXPECT_EQ(notifications(0).size(), 0u);

    // A group of three copied back on A with a template: B's clipboard holds
    // the three in their order, announced once with the first one's template.
    ASSERT_TRUE(steps(*a_, {"clipboard-sync on", "copy-back ({text}) g2 g3 g1", "idle"}));
    EXPECT_TRUE(clipboardOfBBecomes("g2\ng3\ng1")) << b_->transcript();
    EXPECT_EQ(notifications(1), std::vector<std::string>{"Notify Tavlo | (g2)"});

    // Without the content the notification says only that it came.
    ASSERT_TRUE(steps(*b_, {"notifications on"}));
    ASSERT_TRUE(steps(*a_, {"copy-back - g3", "idle"}));
    EXPECT_TRUE(clipboardOfBBecomes("g3")) << b_->transcript();
    EXPECT_EQ(notifications(2), (std::vector<std::string>{"Notify Tavlo | (g2)", "Notify Tavlo | Clipboard Synced"}));

    // Off on A: what A copies stays off B's clipboard.
    ASSERT_TRUE(steps(*a_, {"clipboard-sync off", "copy-back - g1", "idle"}));
    ASSERT_TRUE(fetch(*b_));
    EXPECT_EQ(b_->pasteboard(), "g3");

    // Notifications off on B: the clipboard still follows, unannounced.
    ASSERT_TRUE(steps(*b_, {"notifications off"}));
    ASSERT_TRUE(steps(*a_, {"clipboard-sync on", "copy-back - g2", "idle"}));
    EXPECT_TRUE(clipboardOfBBecomes("g2")) << b_->transcript();
    EXPECT_EQ(notifications(2).size(), 2u);
    EXPECT_TRUE(converged("clipboard sync of a group"));
}

TEST_P(SyncE2E, AMoveAndADeletionOnAReachB) {
    ASSERT_TRUE(launchBoth());
    ASSERT_TRUE(steps(*a_, {"list Work", "list Home", "copy keep", "copy-image " + resource("AppIcon.png"),
                            "move keep Work", "idle"}));
    ASSERT_TRUE(fetch(*b_));
    const std::string keep = b_->clippingWithText("keep");
    // The image: the clipping with an asset file.
    std::string drop;
    for (const auto& entry : b_->dump().value_or(std::vector<PlistValue>{}))
        if (*entry.asDictionary()->at("type").asString() == "Asset")
            drop = *entry.asDictionary()->at("clipping").asString();
    ASSERT_FALSE(drop.empty()) << b_->transcript();
    ASSERT_TRUE(fs::exists(b_->assetFolder(drop)));

    ASSERT_TRUE(steps(*a_, {"move keep Home", "delete " + drop, "idle"}));
    ASSERT_TRUE(fetch(*b_));
    EXPECT_EQ(fieldOf(*b_, keep, "list"), listID(*a_, "Home"));
    EXPECT_TRUE(fieldOf(*b_, drop, "id").empty());
    EXPECT_FALSE(fs::exists(b_->assetFolder(drop)));
    EXPECT_TRUE(converged("A moves a clipping to another list, then deletes one"));
}

TEST_P(SyncE2E, BothOfflineEditOneClippingAndAgreeWhenHealed) {
    ASSERT_TRUE(launchBoth());
    ASSERT_TRUE(steps(*a_, {"copy shared", "idle"}));
    ASSERT_TRUE(fetch(*b_));
    ASSERT_TRUE(account_->takeOffline(a_->deviceID()));
    ASSERT_TRUE(account_->takeOffline(b_->deviceID()));
    ASSERT_TRUE(steps(*a_, {"edit shared byA", "idle"}));
    ASSERT_TRUE(steps(*b_, {"edit shared byB", "idle"}));

    ASSERT_TRUE(account_->clearFaults());
    ASSERT_TRUE(steps(*a_, {"reconcile", "idle"}));
    ASSERT_TRUE(steps(*b_, {"reconcile", "idle"}));
    ASSERT_TRUE(converged("both offline edit one clipping"));
    // One of the two edits won, the same everywhere; the original is gone.
    EXPECT_TRUE(a_->clippingWithText("shared").empty());
    EXPECT_NE(a_->clippingWithText("byA").empty(), a_->clippingWithText("byB").empty());
}

TEST_P(SyncE2E, ADeletesWhileBEditsOfflineAndBothAgree) {
    ASSERT_TRUE(launchBoth());
    ASSERT_TRUE(steps(*a_, {"copy target", "copy bystander", "idle"}));
    ASSERT_TRUE(fetch(*b_));
    ASSERT_TRUE(account_->takeOffline(b_->deviceID()));
    ASSERT_TRUE(steps(*b_, {"edit target edited", "idle"}));
    ASSERT_TRUE(steps(*a_, {"delete target", "idle"}));

    ASSERT_TRUE(account_->clearFaults());
    ASSERT_TRUE(steps(*b_, {"reconcile", "idle"}));
    ASSERT_TRUE(converged("A deletes while B edits offline"));
    EXPECT_FALSE(a_->clippingWithText("bystander").empty());
}

TEST_P(SyncE2E, TheServerGoingDownMidUploadLosesNoCapture) {
    ASSERT_TRUE(launchBoth());
    if (GetParam() == Backend::Postgresql) {
        // The server stops at once while the first upload is on its way.
        ASSERT_TRUE(a_->ok("copy one"));
        ASSERT_TRUE(account_->stopServer());
        ASSERT_TRUE(steps(*a_, {"copy two", "copy three", "idle"}));
        ASSERT_TRUE(account_->startServer());
    } else {
        // The store fails A's uploads before they commit.
        CloudAccount::Fault down;
        down.operation = "modify";
        down.code = 4;
        down.device = a_->deviceID();
        ASSERT_TRUE(account_->addFault(down));
        ASSERT_TRUE(steps(*a_, {"copy one", "copy two", "copy three", "idle"}));
        ASSERT_TRUE(account_->clearFaults());
    }
    ASSERT_TRUE(steps(*a_, {"reconcile", "idle"}));
    ASSERT_TRUE(converged("the server down in the middle of an upload"));
    for (const char* text : {"one", "two", "three"}) EXPECT_FALSE(b_->clippingWithText(text).empty()) << text;
}

TEST_P(SyncE2E, AnOversizedAssetIsSetAsideAndTheRestSyncs) {
    ASSERT_TRUE(writeSettings(a_->configHome(), "com.tavlo.Tavlo.Cloud", {{"AssetLimit", PlistValue(int64_t{2000})}}));
    ASSERT_TRUE(launchBoth());
    ASSERT_TRUE(steps(*a_, {"copy-image " + resource("AppIcon.png"), "copy small", "idle"}));
    std::set<std::string> aside;
    auto dump = a_->dump();
    ASSERT_TRUE(dump);
    for (const auto& entry : *dump) {
        const auto& d = *entry.asDictionary();
        if (*d.at("type").asString() == "Asset" && d.at("id").asString()->find(".public.png") != std::string::npos)
            aside.insert("Asset " + *d.at("id").asString());
    }
    ASSERT_EQ(aside.size(), 1u);
    ASSERT_TRUE(converged("an oversized asset", std::chrono::seconds(60), {{"A", aside}}));
    EXPECT_FALSE(b_->clippingWithText("small").empty());
}

TEST_P(SyncE2E, BCatchesUpAtTheNextCheckWhenItsPushesAreDropped) {
    ASSERT_TRUE(launchBoth());
    // Pushes are announced by the writer: A's commits reach B silently.
    CloudAccount::Fault dropped;
    dropped.operation = "push";
    dropped.code = 1;
    dropped.device = a_->deviceID();
    ASSERT_TRUE(account_->addFault(dropped));
    ASSERT_TRUE(steps(*a_, {"copy unannounced", "idle"}));
    // No fetch is asked of B: its periodic check (2 s here) finds the change.
    EXPECT_TRUE(eventually([&] { return !b_->clippingWithText("unannounced").empty(); }, std::chrono::seconds(30)))
        << b_->transcript();
    auto listed = account_->tool({"fault", "list"});
    EXPECT_EQ(listed.output.find(" hits 0"), std::string::npos) << "no push was dropped: " << listed.output;
    ASSERT_TRUE(account_->clearFaults());
    EXPECT_TRUE(converged("B's pushes dropped"));
}

TEST_P(SyncE2E, AFullQuotaPostsOneErrorPerIntervalAndARaisedOneResumesTheUpload) {
    ASSERT_TRUE(launchBoth());
    ASSERT_TRUE(steps(*a_, {"copy before", "idle"}));
    auto errors = [&] {
        auto n = a_->query("errors");
        return n && n->asInteger() ? *n->asInteger() : int64_t{-1};
    };
    const int64_t before = errors();
    ASSERT_GE(before, 0) << a_->transcript();
    ASSERT_TRUE(account_->toolSucceeds({"quota", "1"}));
    // Captures over several seconds, each starting an upload the server refuses.
    for (const char* text : {"over1", "over2", "over3"}) {
        ASSERT_TRUE(steps(*a_, {std::string("copy ") + text, "idle"}));
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    const int64_t refused = errors() - before;
    EXPECT_EQ(refused, 1) << "errors shown within one ErrorReconcileInterval\n" << a_->transcript();
    EXPECT_TRUE(b_->clippingWithText("over1").empty());

    ASSERT_TRUE(account_->toolSucceeds({"quota", "0"}));
    ASSERT_TRUE(steps(*a_, {"copy after", "idle"}));
    ASSERT_TRUE(converged("the quota reached, then raised"));
    for (const char* text : {"over1", "over2", "over3", "after"}) EXPECT_FALSE(b_->clippingWithText(text).empty()) << text;
}

TEST_P(SyncE2E, AClippingWhoseAssetArrivesFirstSurvivesBsTrim) {
    ASSERT_TRUE(launchBoth());
    ASSERT_TRUE(steps(*b_, {"set TLUserDefaultsClipboardSize 3"}));
    // A's image is made offline, so its identifier is known before it uploads.
    ASSERT_TRUE(account_->takeOffline(a_->deviceID()));
    ASSERT_TRUE(steps(*a_, {"copy-image " + resource("AppIcon.png"), "idle"}));
    std::string image;
    for (const auto& entry : a_->dump().value_or(std::vector<PlistValue>{}))
        if (*entry.asDictionary()->at("type").asString() == "Asset")
            image = *entry.asDictionary()->at("clipping").asString();
    ASSERT_FALSE(image.empty()) << a_->transcript();
    // A rule holds the clipping's record back: its batch is split until the
    // asset goes alone and the clipping is set aside.
    ASSERT_TRUE(account_->clearFaults());
    CloudAccount::Fault held;
    held.operation = "modify";
    held.code = 27;
    held.device = a_->deviceID();
    held.record = image;
    ASSERT_TRUE(account_->addFault(held));
    ASSERT_TRUE(steps(*a_, {"reconcile", "idle"}));

    // B gets the asset alone and waits for its clipping as a placeholder,
    // capturing past its history limit meanwhile.
    ASSERT_TRUE(fetch(*b_));
    ASSERT_FALSE(fieldOf(*b_, image, "id").empty()) << b_->transcript();
    ASSERT_TRUE(steps(*b_, {"copy b1", "copy b2", "copy b3", "copy b4", "idle"}));
    ASSERT_FALSE(fieldOf(*b_, image, "id").empty()) << "the trim took the placeholder\n" << b_->transcript();

    ASSERT_TRUE(account_->clearFaults());
    ASSERT_TRUE(steps(*a_, {"reconcile", "idle"}));
    ASSERT_TRUE(fetch(*b_));
    ASSERT_TRUE(converged("an asset before its clipping while B trims"));
    EXPECT_FALSE(fieldOf(*b_, image, "id").empty());
    EXPECT_TRUE(fs::exists(b_->assetFolder(image)));
}

TEST_P(SyncE2E, KeepOnThisMacOnAWipesBAndTheZoneComesBack) {
    ASSERT_TRUE(launchBoth());
    ASSERT_TRUE(steps(*a_, {"copy mine", "idle"}));
    ASSERT_TRUE(fetch(*b_));
    ASSERT_FALSE(b_->clippingWithText("mine").empty());
    ASSERT_TRUE(steps(*a_, {"keep-local", "idle"}));
    // A keeps its history, and sync is off there.
    EXPECT_FALSE(a_->clippingWithText("mine").empty());
    auto aOn = a_->query("setting TLUserDefaultsSyncEnabled");
    EXPECT_TRUE(aOn && aOn->asBoolean() && !*aOn->asBoolean());

    // B's next fetch finds the zone gone: it wipes, makes the zone again and stays on.
    (void)b_->run("fetch");
    ASSERT_TRUE(b_->idle());
    EXPECT_TRUE(eventually([&] { return b_->clippingWithText("mine").empty() && account_->dump().has_value(); },
                           std::chrono::seconds(30)))
        << b_->transcript();
    auto bOn = b_->query("setting TLUserDefaultsSyncEnabled");
    EXPECT_TRUE(bOn && bOn->asBoolean() && *bOn->asBoolean()) << b_->transcript();
    ConvergenceChecker checker("Keep on This Mac on A", seed_);
    EXPECT_TRUE(checker.converged(*account_, {b_.get()}));
}

TEST_P(SyncE2E, AKilledDuringAnUploadLosesNoCapture) {
    ASSERT_TRUE(launchBoth());
    ASSERT_TRUE(steps(*a_, {"copy before", "idle"}));
    {
        // The server answers slowly, so A's upload stays open while it captures.
        auto hold = account_->holdWrites();
        ASSERT_TRUE(hold);
        ASSERT_TRUE(steps(*a_, {"copy during1", "copy during2"}));
        // Longer than a capture waits in memory while a sync operation is open.
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        a_->kill();
    }
    ASSERT_TRUE(launch(*a_));
    for (const char* text : {"before", "during1", "during2"}) EXPECT_FALSE(a_->clippingWithText(text).empty()) << text;
    ASSERT_TRUE(steps(*a_, {"reconcile", "idle"}));
    ASSERT_TRUE(converged("A killed during an upload"));
    for (const char* text : {"during1", "during2"}) EXPECT_FALSE(b_->clippingWithText(text).empty()) << text;
}

TEST_P(SyncE2E, BCatchesUpWithAFullFetchAfterItsTokenExpired) {
    ASSERT_TRUE(launchBoth());
    ASSERT_TRUE(steps(*a_, {"copy old1", "copy old2", "idle"}));
    ASSERT_TRUE(fetch(*b_));
    ASSERT_TRUE(b_->quit());
    ASSERT_TRUE(steps(*a_, {"copy new1", "copy new2", "copy new3", "copy new4", "copy new5", "delete old1",
                            "delete old2", "idle"}));
    ASSERT_TRUE(account_->toolSucceeds({"expire-tokens"}));
    ASSERT_TRUE(launch(*b_));
    ASSERT_TRUE(fetch(*b_));
    ASSERT_TRUE(converged("tokens expired while B was stopped"));
    for (const char* text : {"new1", "new2", "new3", "new4", "new5"}) EXPECT_FALSE(b_->clippingWithText(text).empty()) << text;
    for (const char* text : {"old1", "old2"}) EXPECT_TRUE(b_->clippingWithText(text).empty()) << text;
}

TEST_P(SyncE2E, RateLimitedUploadsWaitTheirRetryAfter) {
    ASSERT_TRUE(launchBoth());
    CloudAccount::Fault limited;
    limited.operation = "modify";
    limited.code = 7;
    limited.device = a_->deviceID();
    limited.retryAfter = 2;
    ASSERT_TRUE(account_->addFault(limited));
    ASSERT_TRUE(a_->ok("copy throttled"));
    // Each refusal happened between the last look at the rule's hits that
    // did not count it and the first that did; two refusals were at most
    // this far apart: from the first's earliest to the second's latest.
    using Clock = std::chrono::steady_clock;
    struct Seen {
        Clock::time_point before, after;
    };
    std::vector<Seen> hits;
    Clock::time_point lastLook = Clock::now();
    auto hitCount = [&] {
        auto listed = account_->tool({"fault", "list"});
        const auto at = listed.output.find(" hits ");
        return at == std::string::npos ? 0 : std::atoi(listed.output.c_str() + at + 6);
    };
    ASSERT_TRUE(eventually(
        [&] {
            const auto started = Clock::now();
            const int n = hitCount();
            while (static_cast<int>(hits.size()) < n) hits.push_back({lastLook, Clock::now()});
            lastLook = started;
            return n >= 3;
        },
        std::chrono::seconds(30)));
    ASSERT_TRUE(account_->clearFaults());
    ASSERT_EQ(hits.size(), 3u) << "refusals seen at once";
    for (size_t i = 1; i < hits.size(); ++i)
        EXPECT_GE(hits[i].after - hits[i - 1].before, std::chrono::seconds(2)) << "between refusal " << i << " and " << i + 1;
    ASSERT_TRUE(a_->idle());
    ASSERT_TRUE(converged("rate limited three times"));
    EXPECT_FALSE(b_->clippingWithText("throttled").empty());
}

TEST_P(SyncE2E, AClockAnHourAheadIsCorrectedAndTheLaterEditWins) {
    ASSERT_TRUE(launch(*a_, {"--clock-offset", "3600"}));
    ASSERT_TRUE(launch(*b_));
    auto offset = a_->query("setting TLUserDefaultsServerTimeOffset");
    ASSERT_TRUE(offset && offset->asReal()) << a_->transcript();
    EXPECT_NEAR(*offset->asReal(), -3600, 60);
    ASSERT_TRUE(steps(*a_, {"copy clocked", "idle"}));
    ASSERT_TRUE(fetch(*b_));

    // A edits first, offline; B edits later and uploads. A's clock, an hour
    // ahead, must not make its earlier edit look newer.
    ASSERT_TRUE(account_->takeOffline(a_->deviceID()));
    ASSERT_TRUE(steps(*a_, {"edit clocked early", "idle"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(steps(*b_, {"edit clocked late", "idle"}));
    ASSERT_TRUE(account_->clearFaults());
    ASSERT_TRUE(steps(*a_, {"reconcile", "idle"}));
    ASSERT_TRUE(converged("A's clock an hour ahead"));
    EXPECT_FALSE(a_->clippingWithText("late").empty());
    EXPECT_FALSE(b_->clippingWithText("late").empty());
    EXPECT_TRUE(b_->clippingWithText("early").empty());
}

TEST_P(SyncE2E, MalformedRecordsOfAThirdClientAreSkippedAndSyncGoesOn) {
    ASSERT_TRUE(launchBoth());
    for (auto* device : {a_.get(), b_.get()}) std::ofstream(device->home() / "sentinel") << "untouched";
    const fs::path upload = home_.root() / "upload";
    std::ofstream(upload) << "bytes of " << seed_;
    const std::string zone = CloudAccount::kZone;
    const std::string good = "C-00000000-0000-4000-8000-000000000016";
    const std::string corrupt = good + ".0.public.utf8-plain-text";
    const std::vector<std::vector<std::string>> writes = {
        // Names that walk out of the assets folder.
        {"save", zone, "Clipping", "C-../../../sentinel", "text=evil", "items=#1"},
        {"save", zone, "Asset", "C-../../../sentinel.0.public.png", "clippingID=../../../sentinel",
         "filename=0.public.png", "data=<" + upload.string()},
        {"save", zone, "Clipping", good, "text=fine", "items=#1"},
        {"save", zone, "Asset", good + ".../../../../sentinel", "clippingID=" + good, "filename=../../../../sentinel",
         "data=<" + upload.string(), "clipping=@!" + good},
        // A newer program's records: a type this one does not know, a field of another kind.
        {"save", zone, "Snippet", "S-1", "text=from the future"},
        {"save", zone, "Clipping", "C-00000000-0000-4000-8000-000000000017", "text=#5", "items=#1"},
        // An asset whose stored chunks are damaged below.
        {"save", zone, "Asset", corrupt, "clippingID=" + good, "filename=0.public.utf8-plain-text",
         "data=<" + upload.string(), "clipping=@!" + good},
    };
    for (const auto& write : writes) ASSERT_TRUE(account_->toolSucceeds(write));
    ASSERT_TRUE(account_->sql("UPDATE chunks SET data = 'corrupted' WHERE hash IN (SELECT hash FROM assets WHERE name = '" +
                              corrupt + "')"));

    for (auto* device : {a_.get(), b_.get()}) ASSERT_TRUE(fetch(*device));
    ASSERT_TRUE(steps(*a_, {"copy after", "idle"}));
    ASSERT_TRUE(fetch(*b_));
    EXPECT_FALSE(b_->clippingWithText("after").empty()) << b_->transcript();
    EXPECT_FALSE(b_->clippingWithText("fine").empty()) << b_->transcript();
    for (auto* device : {a_.get(), b_.get()}) {
        std::ifstream in(device->home() / "sentinel");
        std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(content, "untouched") << device->name();
        EXPECT_FALSE(fs::exists(device->home() / "data" / "sentinel")) << device->name();
        EXPECT_FALSE(fs::exists(device->home() / "cache" / "sentinel")) << device->name();
    }
    // A clipping whose name walks out of the folder is only text: it is kept,
    // and no file is written for it.
    EXPECT_FALSE(a_->clippingWithText("evil").empty());
    // What no device takes, or takes without its bytes or with fields the
    // devices fill in themselves (the dates the tool cannot write), is left
    // out of the comparison with the zone.
    const std::set<std::string> skipped = {"Asset C-../../../sentinel.0.public.png",
                                           "Asset " + good + ".../../../../sentinel", "Snippet S-1",
                                           "Clipping C-00000000-0000-4000-8000-000000000017", "Asset " + corrupt,
                                           "Clipping " + good, "Clipping C-../../../sentinel"};
    EXPECT_TRUE(converged("malformed records of a third client", std::chrono::seconds(60),
                          {{"zone", skipped}, {"A", skipped}, {"B", skipped}}));
}

TEST_P(SyncE2E, ASeededSoakOfTwoHundredOperationsWithFaultsConverges) {
    ASSERT_TRUE(launchBoth());
    std::mt19937_64 random(seed_);
    auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(random) < p; };
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); };
    DeviceProcess* devices[] = {a_.get(), b_.get()};
    std::vector<std::string> texts;         // every text copied, in order
    std::set<std::string> touched;          // edited or deleted by some device
    std::vector<std::string> lists;
    int faultsLeft = 0;                     // operations until the faults are healed
    for (int step = 0; step < 200; ++step) {
        DeviceProcess& device = *devices[pick(2)];
        std::string command;
        if (chance(0.1)) {
            // A fault for the next few operations: a device offline, its
            // uploads rate limited, or its pushes dropped.
            CloudAccount::Fault fault;
            fault.device = device.deviceID();
            switch (pick(3)) {
                case 0: ASSERT_TRUE(account_->takeOffline(fault.device)); break;
                case 1:
                    fault.operation = "modify";
                    fault.code = 7;
                    fault.retryAfter = 1;
                    fault.occurrence = 1;
                    ASSERT_TRUE(account_->addFault(fault));
                    break;
                default:
                    fault.operation = "push";
                    fault.code = 1;
                    ASSERT_TRUE(account_->addFault(fault));
                    break;
            }
            faultsLeft = 5;
            continue;
        }
        if (faultsLeft > 0 && --faultsLeft == 0) {
            ASSERT_TRUE(account_->clearFaults());
        }
        const size_t kind = pick(10);
        if (kind < 5 || texts.empty()) {
            texts.push_back("s" + std::to_string(step));
            command = "copy " + texts.back();
        } else if (kind == 5) {
            lists.push_back("L" + std::to_string(step));
            command = "list " + lists.back();
        } else if (kind == 6 && !lists.empty()) {
            command = "move " + texts[pick(texts.size())] + " " + lists[pick(lists.size())];
        } else if (kind == 7) {
            const std::string old = texts[pick(texts.size())];
            touched.insert(old);
            texts.push_back("s" + std::to_string(step));
            touched.insert(texts.back());
            command = "edit " + old + " " + texts.back();
        } else if (kind == 8) {
            const std::string gone = texts[pick(texts.size())];
            touched.insert(gone);
            command = "delete " + gone;
        } else {
            command = "fetch";
        }
        // An edit, move or deletion of a clipping this device has not seen
        // yet is refused, and so is a fetch while it is offline: fine.
        const auto answer = device.run(command).back();
        ASSERT_TRUE(answer == "ok" || answer.rfind("error no such", 0) == 0 || answer == "error fetch failed")
            << "seed " << seed_ << ", step " << step << ": " << command << " answered " << answer << "\n" << device.transcript();
    }
    ASSERT_TRUE(account_->clearFaults());
    for (auto* device : devices) ASSERT_TRUE(steps(*device, {"idle", "reconcile", "idle"}));
    ASSERT_TRUE(converged("a seeded soak of 200 operations", std::chrono::seconds(120)));
    // What no device edited or deleted is on both.
    auto onB = ConvergenceChecker::fromDevice(b_->dump().value_or(std::vector<PlistValue>{}));
    std::set<std::string> textsOnB;
    for (const auto& [name, fields] : onB)
        if (fields.count("text")) textsOnB.insert(fields.at("text"));
    for (const auto& text : texts) {
        if (!touched.count(text)) {
            EXPECT_TRUE(textsOnB.count(text)) << text << " was lost; seed " << seed_;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, SyncE2E, ::testing::Values(Backend::Embedded, Backend::Postgresql), backendName);

}  // namespace
}  // namespace e2e
