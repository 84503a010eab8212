// sync_device: one syncing device in a process of its own, driven by the
// tests through standard input. The device is this process's XDG folders: the
// real store, a pasteboard manager over an in-memory clipboard, the sync
// engine of the configured cloud account and its push channel, whose pushes
// run the application's own push handling (with the session's notification
// service when there is a session bus).
//
// Commands, one a line, each answered "ok" or "error ..." (idle answers "idle"):
//   sync on|off        switch sync on (an engine bound to the store) or off
//   start              the engine's launch pass
//   copy TEXT          another program copies TEXT; the device captures it
//   copy-image PNG     the same with the image file PNG
//   copy-back TEMPLATE TEXT...  the user copies the clippings with these texts
//                      back to the clipboard, in this order, with TEMPLATE
//                      ("-": none), as one group
//   list NAME          a new list
//   move TEXT|ID LIST  puts the clipping with text TEXT (or identifier ID) into list LIST
//   edit OLD NEW       the clipping's text OLD becomes NEW
//   delete TEXT|ID     deletes the clipping with that text or identifier
//   fetch              fetches and applies the zone's changes
//   reconcile          starts the full reconcile (see idle for its end)
//   pending            the pending deletions as a JSON array
//   token              where the stored change token stands: {"change": its
//                      number (-1: none), "behind": the zone's changes after it}
//   setting KEY        the settings suite's value of KEY as JSON (null: none)
//   set KEY INTEGER    stores the whole number under KEY in the settings suite
//   errors             how many sync errors were posted for the Sync pane so
//                      far, a line before "ok"
//   idle               waits until no operation, retry, timer or save is pending
//   dump               each List, Clipping and Asset as a JSON line
//   clipboard-sync on|off  clipboard sync between devices (on also switches
//                      its notifications on, off switches them off)
//   notifications on|off|content  notifications of a synced clipboard: on
//                      without the content, off, or on with the content
//   pasteboard         answers "pasteboard " and the clipboard's text (its
//                      items' texts joined by newlines; a newline is written
//                      "\n" and a backslash "\\")
//   keep-local         switches sync off keeping the data here: the zone is
//                      deleted, every object forgets its record ("ok" once
//                      done, "error ..." when the zone was not deleted)
//   await-push         waits up to 10 s for a push handled since the last one
//                      it reported; answers "push" or "no push"
//   quit
// Arguments are separated by single spaces; TEXT of copy runs to the line's end.
//
// Option: --clock-offset SECONDS shifts this device's clock (not the server's)
// by SECONDS, as a computer whose clock is wrong.

#include <QCoreApplication>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kit/Asset.h"
#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/NSDateCloudKit.h"
#include "kit/NSFileManagerExtras.h"
#include "kit/TLClipboardSync.h"
#include "kit/TLCloudKitSyncManager.h"
#include "kit/TLDatabaseManager.h"
#include "kit/TLMacPasteboard.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLSettings.h"
#include "kit/TLSyncSwitch.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/cloud/ByteCodec.h"
#include "platform/cloud/Configuration.h"
#include "platform/cloud/Container.h"
#include "platform/cloud/PushChannel.h"
#include "platform/cloud/ServerChangeToken.h"
#include "platform/cloud/ZoneServer.h"
#include "platform/desktop/FrontApplication.h"
#include "platform/desktop/MemoryPasteboard.h"
#include "platform/desktop/UserNotificationCenter.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/TypeIdentifier.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/store/Context.h"
#include "platform/store/Predicate.h"

namespace {

namespace fs = std::filesystem;
using foundation::PlistValue;

// Standard input, read on a thread of its own so the main queue keeps running.
class Lines {
public:
    Lines() {
        std::thread([this] {
            std::string line;
            while (std::getline(std::cin, line)) push(line);
            push(std::nullopt);
        }).detach();
    }
    // The next line when one came; nothing at end of input.
    std::optional<std::optional<std::string>> poll() {
        std::lock_guard lock(mutex_);
        if (lines_.empty()) return std::nullopt;
        auto line = lines_.front();
        lines_.pop_front();
        return line;
    }

private:
    void push(std::optional<std::string> line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
    }
    std::mutex mutex_;
    std::deque<std::optional<std::string>> lines_;
};

class Device {
public:
    Device() {
        database_ = std::make_shared<TLDatabaseManager>(TLDatabaseManager::Configuration{
            fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd", foundation::Paths::applicationGroupContainer()});
        context_ = database_->managedObjectContext();
        clipboard_ = std::make_shared<desktop::MemoryPasteboard>();
        auto general = std::make_shared<TLMacPasteboard>();
        general->setPasteboard(clipboard_);
        TLPasteboardManager::Configuration configuration;
        configuration.generalPasteboard = general;
        configuration.managedObjectContext = context_;
        configuration.frontApplication = desktop::FrontApplication::create();
        configuration.writerQueue = dispatch::Queue::main();
        TLSettings()->setBool(true, TLUserDefaultsCaptureClipboard);
        pasteboard_ = std::make_shared<TLPasteboardManager>(std::move(configuration));
        container_ = cloud::Container::defaultContainer();
        TLClipboardSync::Environment sync;
        sync.managedObjectContext = context_;
        sync.pasteboardManager = pasteboard_;
        if (std::getenv("DBUS_SESSION_BUS_ADDRESS"))
            sync.userNotificationCenter = [] { return desktop::UserNotificationCenter::makeSessionCenter(); };
        sync.pushHandled = [this] { ++pushesHandled_; };
        clipboardSync_ = std::make_shared<TLClipboardSync>(std::move(sync));
        container_->pushChannel()->registerForRemoteNotifications(
            [](const std::string&) {},
            [this](const PlistValue::Dictionary&) { clipboardSync_->didReceiveRemoteNotification(engine_); });
        if (TLCloudKitSyncManager::syncEnabled()) makeEngine();
        auto& center = foundation::NotificationCenter::defaultCenter();
        errorObserver_ = foundation::ObserverRegistration(
            center, center.addObserver(TLSyncErrorNotification, nullptr,
                                       [this](const foundation::Notification&) { ++errorsPosted_; }));
    }
    ~Device() {
        engine_.reset();
        database_->applicationWillTerminate();
    }

    // Answers the reply line, or nothing when the answer comes later (idle, fetch).
    std::optional<std::string> run(const std::string& line) {
        const auto space = line.find(' ');
        const std::string command = line.substr(0, space);
        const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
        const std::vector<std::string> args = split(rest);
        if (command == "sync" && args.size() == 1 && (args[0] == "on" || args[0] == "off")) {
            TLSettings()->setBool(args[0] == "on", TLUserDefaultsSyncEnabled);
            TLSettings()->synchronize();
            if (args[0] == "on") makeEngine();
            else engine_.reset();
            return "ok";
        }
        if (command == "start") {
            if (!engine_) makeEngine();
            engine_->startCloudKitSync(context_);
            return "ok";
        }
        if (command == "copy" && !rest.empty()) return capture({{foundation::kUTTypeUTF8PlainText, foundation::Data::fromString(rest)}});
        if (command == "copy-image" && args.size() == 1) {
            auto bytes = foundation::Data::contentsOfFile(args[0]);
            if (!bytes) return "error cannot read " + args[0];
            return capture({{"public.png", bytes.value()}});
        }
        if (command == "copy-back" && args.size() >= 2) {
            std::vector<std::shared_ptr<Clipping>> group;
            for (size_t i = 1; i < args.size(); ++i) {
                auto clipping = clippingWithText(args[i]);
                if (!clipping) return "error no such clipping: " + args[i];
                group.push_back(clipping);
            }
            const auto format = args[0] == "-" ? std::nullopt : std::optional<std::string>(args[0]);
            pasteboard_->copyClippings(group, format, pasteboard_->generalPasteboard(), false);
            return "ok";
        }
        if (command == "list" && !rest.empty()) {
            auto list = std::static_pointer_cast<List>(context_->insertNewObject(List::kEntityName));
            list->setListID(List::makeListID());
            list->setName(rest);
            touch(*list);
            return save();
        }
        if (command == "move" && args.size() == 2) {
            auto clipping = clippingWithText(args[0]);
            if (!clipping) clipping = clippingWithID(args[0]);
            auto list = listNamed(args[1]);
            if (!clipping || !list) return std::string("error no such clipping or list");
            clipping->setList(list);
            touch(*clipping);
            return save();
        }
        if (command == "edit" && args.size() == 2) {
            auto clipping = clippingWithText(args[0]);
            if (!clipping) return std::string("error no such clipping");
            clipping->setText(args[1]);
            touch(*clipping);
            return save();
        }
        if (command == "delete" && !rest.empty()) {
            auto clipping = clippingWithText(rest);
            if (!clipping) clipping = clippingWithID(rest);
            if (!clipping) return std::string("error no such clipping");
            pasteboard_->deleteClipping(clipping);
            return "ok";
        }
        if (command == "fetch") {
            if (!engine_) return std::string("error sync is off");
            auto answered = std::make_shared<std::atomic<bool>>(false);
            waitingForFetch_ = true;
            engine_->fetchChangesFromCloudKitWithCompletion([this, answered](bool success) {
                if (answered->exchange(true)) return;
                dispatch::Queue::main()->async([this, success] {
                    waitingForFetch_ = false;
                    reply(success ? "ok" : "error fetch failed");
                });
            });
            return std::nullopt;
        }
        if (command == "reconcile") {
            if (!engine_) return std::string("error sync is off");
            engine_->runCloudKitDiagnostics();
            return "ok";
        }
        if (command == "pending") {
            PlistValue::Array names;
            for (const auto& name : TLCloudKitSyncManager::pendingDeletions()) names.emplace_back(name);
            auto text = foundation::JSON::write(PlistValue(std::move(names)));
            reply(text ? text.value() : "error " + text.error().description());
            return "ok";
        }
        if (command == "token") return token();
        if (command == "setting" && args.size() == 1) {
            PlistValue value = TLSettings()->objectForKey(args[0]);
            auto text = foundation::JSON::write(PlistValue(PlistValue::Array{value}));
            reply(text ? text.value().substr(1, text.value().size() - 2) : "error " + text.error().description());
            return "ok";
        }
        if (command == "set" && args.size() == 2) {
            char* end = nullptr;
            const long long value = std::strtoll(args[1].c_str(), &end, 10);
            if (args[1].empty() || *end != '\0') return "error not a whole number: " + args[1];
            TLSettings()->setInteger(value, args[0]);
            TLSettings()->synchronize();
            return "ok";
        }
        if (command == "errors") {
            reply(std::to_string(errorsPosted_.load()));
            return "ok";
        }
        if (command == "idle") {
            waitingForIdle_ = true;
            return std::nullopt;
        }
        if (command == "dump") {
            dump();
            return "ok";
        }
        if (command == "clipboard-sync" && args.size() == 1 && (args[0] == "on" || args[0] == "off")) {
            const bool on = args[0] == "on";
            auto suite = TLSettings();
            suite->setBool(on, TLUserDefaultsClipboardSync);
            suite->setBool(on, TLUserDefaultsShowClipboardSyncPushNotifications);
            if (!on) suite->setBool(false, TLUserDefaultsShowClipboardContentInNotification);
            suite->synchronize();
            return "ok";
        }
        if (command == "notifications" && args.size() == 1 &&
            (args[0] == "on" || args[0] == "off" || args[0] == "content")) {
            auto suite = TLSettings();
            suite->setBool(args[0] != "off", TLUserDefaultsShowClipboardSyncPushNotifications);
            suite->setBool(args[0] == "content", TLUserDefaultsShowClipboardContentInNotification);
            suite->synchronize();
            return "ok";
        }
        if (command == "pasteboard") return "pasteboard " + pasteboardText();
        if (command == "keep-local") {
            waitingForZone_ = true;
            TLSyncSwitch::keepOnThisMac(container_, context_, [this] { engine_.reset(); }, [this](bool deleted) {
                waitingForZone_ = false;
                reply(deleted ? "ok" : "error the zone was not deleted");
            });
            return std::nullopt;
        }
        if (command == "await-push") {
            pushDeadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            return std::nullopt;
        }
        return "error unknown command: " + line;
    }

    // Called on each turn: answers a waiting idle once nothing is pending,
    // and a waiting await-push once a push was handled or its time is up.
    void poll() {
        if (pushDeadline_) {
            if (pushesHandled_ > pushesReported_) {
                pushesReported_ = pushesHandled_;
                pushDeadline_.reset();
                reply("push");
            } else if (std::chrono::steady_clock::now() > *pushDeadline_) {
                pushDeadline_.reset();
                reply("no push");
            }
        }
        if (!waitingForIdle_) return;
        if (engine_ && !engine_->isIdle()) return;
        // Saves the parent context still has queued reach the file first.
        database_->parentManagedObjectContext()->performBlockAndWait([] {});
        if (dispatch::MainQueue::runUntilIdle() > 0) return;
        waitingForIdle_ = false;
        reply("idle");
    }

    static void reply(const std::string& line) { std::cout << line << std::endl; }
    // A command still waits for its answer: the next one is read after it.
    bool answering() const { return waitingForIdle_ || waitingForFetch_ || waitingForZone_ || pushDeadline_; }

private:
    static std::vector<std::string> split(const std::string& text) {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string word; std::getline(in, word, ' ');)
            if (!word.empty()) out.push_back(word);
        return out;
    }
    std::string pasteboardText() {
        std::string text;
        bool first = true;
        for (const auto& item : clipboard_->items()) {
            if (!first) text += '\n';
            first = false;
            text += item.string(foundation::kUTTypeUTF8PlainText).value_or("");
        }
        std::string escaped;
        for (char c : text) {
            if (c == '\n') escaped += "\\n";
            else if (c == '\\') escaped += "\\\\";
            else escaped += c;
        }
        return escaped;
    }
    void makeEngine() {
        engine_ = std::make_shared<TLCloudKitSyncManager>(container_, database_, pasteboard_);
        engine_->setManagedObjectContext(context_);
    }
    // Read through a server connection of its own, so the engine's stay untouched.
    std::string token() {
        std::optional<cloud::ServerChangeToken> stored;
        if (auto bytes = TLSettings()->dataForKey(TLUserDefaultsCloudKitServerChangeToken))
            stored = cloud::ServerChangeToken::unarchive(*bytes);
        const auto contents = stored ? stored->decode() : std::nullopt;
        auto server = cloud::Container::make("com.tavlo.Tavlo", cloud::Configuration::read(),
                                             cloud::Configuration::deviceIdentifier())
                          ->server();
        if (!server) return "error " + server.error().line();
        const cloud::RecordZoneID zone{TLCloudKitSyncManager::kTavloRecordZoneName};
        int64_t behind = 0;
        for (std::optional<cloud::ServerChangeToken> from = stored;;) {
            auto page = server.value()->fetchChanges(zone, from, std::set<std::string>{});
            if (!page) return "error " + page.error().line();
            behind += static_cast<int64_t>(page.value().changed.size() + page.value().deleted.size());
            if (!page.value().moreComing) break;
            from = page.value().token;
        }
        line({{"change", PlistValue(contents ? contents->changeNumber : int64_t{-1})}, {"behind", PlistValue(behind)}});
        return "ok";
    }
    std::string capture(std::vector<desktop::PasteboardItem::Representation> representations) {
        clipboard_->externalWrite({desktop::PasteboardItem(std::move(representations))});
        pasteboard_->checkPasteboard();
        return "ok";
    }
    static void touch(TLSyncedObject& object) {
        object.setModifiedDate(NSDateCloudKit::currentServerDate());
        object.setSync(true);
    }
    std::string save() {
        auto saved = context_->save();
        return saved ? "ok" : "error " + saved.error().description();
    }
    template <class T>
    std::vector<std::shared_ptr<T>> all(const char* entity) {
        std::vector<std::shared_ptr<T>> out;
        if (auto found = context_->fetch(store::FetchRequest(entity)))
            for (const auto& o : found.value()) out.push_back(std::static_pointer_cast<T>(o));
        return out;
    }
    std::shared_ptr<Clipping> clippingWithText(const std::string& text) {
        for (const auto& c : all<Clipping>(Clipping::kEntityName))
            if (c->text() == text) return c;
        return nullptr;
    }
    std::shared_ptr<Clipping> clippingWithID(const std::string& id) {
        for (const auto& c : all<Clipping>(Clipping::kEntityName))
            if (c->clippingID() == id) return c;
        return nullptr;
    }
    std::shared_ptr<List> listNamed(const std::string& name) {
        for (const auto& l : all<List>(List::kEntityName))
            if (l->name() == name) return l;
        return nullptr;
    }

    // The stored values of an object as JSON: dates as seconds since 1970,
    // data as its length, relationships left out.
    static PlistValue::Dictionary fieldsOf(const store::ManagedObject& object) {
        PlistValue::Dictionary fields;
        for (const auto& property : object.entity().properties()) {
            if (!property.isAttribute() || property.name == "sync") continue;
            const store::Value value = object.valueForKey(property.name);
            switch (value.kind()) {
                case store::Value::Kind::Null: fields[property.name] = PlistValue(); break;
                case store::Value::Kind::Bool: fields[property.name] = PlistValue(value.boolValue()); break;
                case store::Value::Kind::Integer: fields[property.name] = PlistValue(value.integerValue()); break;
                case store::Value::Kind::Double: fields[property.name] = PlistValue(value.doubleValue()); break;
                case store::Value::Kind::Date: fields[property.name] = PlistValue(value.doubleValue()); break;
                case store::Value::Kind::String: fields[property.name] = PlistValue(value.string()); break;
                case store::Value::Kind::Data:
                    fields[property.name] = PlistValue(static_cast<int64_t>(value.data().size()));
                    break;
                default: break;
            }
        }
        return fields;
    }
    static void line(PlistValue::Dictionary entry) {
        auto text = foundation::JSON::write(PlistValue(std::move(entry)));
        reply(text ? text.value() : "error " + text.error().description());
    }
    void dump() {
        for (const auto& list : all<List>(List::kEntityName)) {
            PlistValue::Dictionary entry{{"type", PlistValue(std::string("List"))},
                                         {"id", PlistValue(list->listID().value_or(""))},
                                         {"sync", PlistValue(list->sync().value_or(false))},
                                         {"fields", PlistValue(fieldsOf(*list))}};
            line(std::move(entry));
        }
        for (const auto& clipping : all<Clipping>(Clipping::kEntityName)) {
            auto list = clipping->list();
            auto listID = list ? list->listID() : std::nullopt;
            PlistValue::Dictionary entry{{"type", PlistValue(std::string("Clipping"))},
                                         {"id", PlistValue(clipping->clippingID().value_or(""))},
                                         {"sync", PlistValue(clipping->sync().value_or(false))},
                                         {"list", listID ? PlistValue(*listID) : PlistValue()},
                                         {"fields", PlistValue(fieldsOf(*clipping))}};
            line(std::move(entry));
        }
        for (const auto& asset : all<Asset>(Asset::kEntityName)) {
            auto clipping = asset->clipping();
            PlistValue hash;
            if (clipping && asset->filename())
                if (auto file = NSFileManagerExtras::URLForAssetFile(clipping->clippingID(), *asset->filename()))
                    if (auto bytes = foundation::Data::contentsOfFile(file->filePath()))
                        hash = PlistValue(cloud::ByteCodec::sha256Hex(bytes.value().view()));
            PlistValue::Dictionary entry{{"type", PlistValue(std::string("Asset"))},
                                         {"id", PlistValue(asset->assetID().value_or(""))},
                                         {"sync", PlistValue(asset->sync().value_or(false))},
                                         {"clipping", clipping && clipping->clippingID() ? PlistValue(*clipping->clippingID())
                                                                                         : PlistValue()},
                                         {"sha256", hash},
                                         {"fields", PlistValue(fieldsOf(*asset))}};
            line(std::move(entry));
        }
    }

    std::shared_ptr<TLDatabaseManager> database_;
    std::shared_ptr<store::Context> context_;
    std::shared_ptr<desktop::MemoryPasteboard> clipboard_;
    std::shared_ptr<TLPasteboardManager> pasteboard_;
    std::shared_ptr<cloud::Container> container_;
    std::shared_ptr<TLCloudKitSyncManager> engine_;
    std::shared_ptr<TLClipboardSync> clipboardSync_;
    bool waitingForIdle_ = false;
    bool waitingForFetch_ = false;
    bool waitingForZone_ = false;
    int pushesHandled_ = 0;
    int pushesReported_ = 0;
    // Posted on whatever queue the engine reports from.
    std::atomic<int> errorsPosted_{0};
    foundation::ObserverRegistration errorObserver_;
    std::optional<std::chrono::steady_clock::time_point> pushDeadline_;
};

}  // namespace

int main(int argc, char** argv) {
    // The notification service is reached over D-Bus, whose answers come
    // through Qt's event loop.
    QCoreApplication application(argc, argv);
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--clock-offset" && i + 1 < argc) {
            if (!foundation::Date::offsetClock(argv[++i])) {
                std::cerr << "sync_device: --clock-offset needs seconds\n";
                return 2;
            }
        } else {
            std::cerr << "sync_device: unknown option " << option << "\n";
            return 2;
        }
    }
    Lines lines;
    Device device;
    for (;;) {
        if (auto next = device.answering() ? std::nullopt : lines.poll()) {
            if (!*next || **next == "quit") break;
            if (auto answer = device.run(**next)) Device::reply(*answer);
        }
        device.poll();
        QCoreApplication::processEvents();
        if (dispatch::MainQueue::runUntilIdle() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    Device::reply("ok");
    return 0;
}
