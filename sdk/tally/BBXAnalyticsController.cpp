#include "sdk/tally/BBXAnalyticsController.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/dispatch/Group.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/URL.h"
#include "sdk/beacon/BBXUserDefaults.h"
#include "sdk/beacon/Beacon.h"
#include "sdk/tally/BBXAnalyticsApplicationLifecycleEvent.h"
#include "sdk/tally/BBXAnalyticsEventFilter.h"
#include "sdk/tally/BBXAnalyticsGzipFile.h"
#include "sdk/tally/BBXAnalyticsIdentifierGenerator.h"
#include "sdk/tally/BBXAnalyticsMetadataController.h"
#include "sdk/tally/BBXAnalyticsMetadataEvent.h"
#include "sdk/tally/BBXAnalyticsNetworkingClient.h"
#include "sdk/tally/BBXAnalyticsTimestampGenerator.h"
#include "sdk/tally/BBXEventLogEventFile.h"
#include "sdk/tally/BBXTallyCustomEvent.h"
#include "sdk/tally/BBXTallyPredefinedEvent.h"
#include "sdk/tally/TallyLog.h"

namespace fs = std::filesystem;
using foundation::PlistValue;
using Controller = BBXAnalyticsController;
using Lifecycle = BBXAnalyticsApplicationLifecycleEvent;

namespace {

const char* const kLifecycleNames[] = {Lifecycle::kWillTerminateNotification, Lifecycle::kWillResignActiveNotification,
                                       Lifecycle::kDidBecomeActiveNotification};

const PlistValue::Dictionary* dictionaryAt(const PlistValue::Dictionary* settings, const char* key) {
    if (!settings) return nullptr;
    auto it = settings->find(key);
    return it == settings->end() ? nullptr : it->second.asDictionary();
}

const PlistValue* valueAt(const PlistValue::Dictionary* dictionary, const char* key) {
    if (!dictionary) return nullptr;
    auto it = dictionary->find(key);
    return it == dictionary->end() ? nullptr : &it->second;
}

bool readBool(const PlistValue::Dictionary* dictionary, const char* key) {
    const PlistValue* value = valueAt(dictionary, key);
    return value && value->isNumber() && value->boolValue();
}

// Saturating: negative, not finite or not a number reads as 0; too large as max.
uint64_t readUnsigned(const PlistValue::Dictionary* dictionary, const char* key, uint64_t max) {
    const PlistValue* value = valueAt(dictionary, key);
    if (!value) return 0;
    if (auto integer = value->asInteger()) return *integer <= 0 ? 0 : std::min<uint64_t>(static_cast<uint64_t>(*integer), max);
    if (value->type() != PlistValue::Type::Real) return 0;
    double real = *value->asReal();
    if (!(real > 0)) return 0;
    if (real >= static_cast<double>(max)) return max;
    return static_cast<uint64_t>(real);
}

int64_t readSigned(const PlistValue::Dictionary* dictionary, const char* key) {
    const PlistValue* value = valueAt(dictionary, key);
    if (!value) return 0;
    if (auto integer = value->asInteger()) return *integer;
    if (value->type() != PlistValue::Type::Real) return 0;
    double real = *value->asReal();
    if (std::isnan(real)) return 0;
    if (real >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
    if (real <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(real);
}

foundation::Error controllerError(int code, const std::string& what) {
    return foundation::Error(BBXEventLogFile::kPOSIXErrorDomain, code, what);
}

foundation::Error maintenanceError(int code) { return foundation::Error(Controller::kErrorDomain, code); }

foundation::Error errnoError(const fs::path& path) {
    return foundation::Error(BBXEventLogFile::kPOSIXErrorDomain, errno, std::string(std::strerror(errno)) + ": " + path.string());
}

// How many bytes of an event log hold whole lines: up to and with its last
// line feed. A process killed while appending leaves a torn last line behind
// (its write never returned, so nobody was told it was written); a payload
// never holds a raw line feed, so the last one ends the last whole line.
// -1 on a read error.
off_t wholeLinesLength(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) return -1;
    char block[4096];
    for (off_t end = status.st_size; end > 0;) {
        off_t begin = std::max<off_t>(0, end - static_cast<off_t>(sizeof block));
        ssize_t got = ::pread(fd, block, static_cast<size_t>(end - begin), begin);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return -1;
        for (ssize_t i = got; i > 0; --i)
            if (block[i - 1] == '\n') return begin + i;
        end = begin;
    }
    return 0;
}

// Runs the step's debug line for an error, if any.
void logFailure(const char* format, const std::optional<foundation::Error>& error) {
    if (error) tally::debugLog(foundation::format(format, error->description()));
}

}  // namespace

Controller::Settings Controller::Settings::fromDictionary(const Dictionary* settings) {
    Settings s;
    s.haveSettings = settings != nullptr;
    if (!settings) return s;
    const Dictionary* features = dictionaryAt(settings, "features");
    const Dictionary* analytics = dictionaryAt(settings, "analytics");
    s.shouldCollectAnalytics = readBool(features, "collect_analytics");
    if (const PlistValue* url = valueAt(analytics, "url"); url && url->asString() && foundation::URL::parse(*url->asString()))
        s.analyticsURL = *url->asString();
    s.shouldFlushOnBackground = readBool(analytics, "flush_on_background");
    s.maxByteSizePerFile = readUnsigned(analytics, "max_byte_size_per_file", UINT64_MAX);
    s.flushIntervalSecs = static_cast<uint32_t>(readUnsigned(analytics, "flush_interval_secs", UINT32_MAX));
    s.maxPendingSendFileCount = static_cast<uint32_t>(readUnsigned(analytics, "max_pending_send_file_count", UINT32_MAX));
    s.trackCustomEvents = readBool(analytics, "track_custom_events");
    s.trackPredefinedEvents = readBool(analytics, "track_predefined_events");
    s.samplingRate = readSigned(analytics, "sampling_rate");
    return s;
}

bool Controller::supported() {
    PlistValue extension = foundation::Bundle::main()->objectForInfoDictionaryKey("NSExtension");
    if (extension.isNull()) return true;
    if (const Dictionary* dictionary = extension.asDictionary()) {
        const PlistValue* point = valueAt(dictionary, "NSExtensionPointIdentifier");
        if (point && point->asString()) return false;
        tally::debugLog("[Blackbox:Tally] Error: NSExtensionPointIdentifier Info.plist entry is mal-formed\n");
        return true;
    }
    tally::debugLog("[Blackbox:Tally] Error: NSExtension Info.plist entry is mal-formed\n");
    return true;
}

std::shared_ptr<Controller> Controller::initWithSessionIdentifier(const std::string& sessionIdentifier,
                                                                  const Path& analyticsRootDirectoryURL,
                                                                  const std::optional<std::string>& betaToken,
                                                                  Environment environment) {
    if (!environment.timestampGenerator) environment.timestampGenerator = std::make_shared<BBXAnalyticsTimestampGenerator>();
    uint64_t timestamp = environment.timestampGenerator->generateAnalyticsTimestamp();
    return initWithSessionIdentifier(sessionIdentifier, timestamp, analyticsRootDirectoryURL, betaToken,
                                     std::move(environment));
}

std::shared_ptr<Controller> Controller::initWithSessionIdentifier(const std::string& sessionIdentifier,
                                                                  uint64_t sessionTimestamp,
                                                                  const Path& analyticsRootDirectoryURL,
                                                                  const std::optional<std::string>& betaToken,
                                                                  Environment environment) {
    if (!environment.beacon) environment.beacon = Beacon::sharedSDK();
    if (!environment.store) environment.store = BBXUserDefaults::standardUserDefaults();
    if (!environment.center) environment.center = &foundation::NotificationCenter::defaultCenter();
    if (!environment.identifierGenerator)
        environment.identifierGenerator = std::make_shared<BBXAnalyticsIdentifierGenerator>();
    if (!environment.timestampGenerator) environment.timestampGenerator = std::make_shared<BBXAnalyticsTimestampGenerator>();
    if (!environment.metadataController)
        environment.metadataController =
            BBXAnalyticsMetadataController::initWithTimeStamp(sessionTimestamp, betaToken, environment.beacon);
    if (!environment.metadataController) return nullptr;
    if (!environment.networkingClient) environment.networkingClient = std::make_shared<BBXAnalyticsNetworkingClient>();

    std::shared_ptr<Controller> controller(new Controller(sessionIdentifier, sessionTimestamp, analyticsRootDirectoryURL,
                                                          betaToken, std::move(environment)));
    if (!controller->lockTree()) {
        tally::debugLog(foundation::format("[Blackbox:Tally] Analytics directory %@ is in use by another process",
                                           analyticsRootDirectoryURL.string()));
        return nullptr;
    }
    auto prepared = controller->prepareNewSessionFragment(controller->identifierGenerator_->generateSessionFragmentIdentifier(),
                                                          sessionTimestamp);
    if (!prepared.ok())
        tally::debugLog(foundation::format("[Blackbox:Tally] Unable to prepare new session fragment {error: %@}",
                                           prepared.error()));
    controller->readLastSessionInformation();
    controller->saveCurrentSessionInformation();
    controller->observeNotifications();
    controller->setSettings(controller->beacon_->settings());
    if (!prepared.ok()) return nullptr;
    return controller;
}

Controller::BBXAnalyticsController(const std::string& sessionIdentifier, uint64_t sessionTimestamp, const Path& root,
                                   const std::optional<std::string>& betaToken, Environment environment)
    : beacon_(std::move(environment.beacon)),
      store_(std::move(environment.store)),
      center_(environment.center),
      identifierGenerator_(std::move(environment.identifierGenerator)),
      timestampGenerator_(std::move(environment.timestampGenerator)),
      metadataController_(std::move(environment.metadataController)),
      networkingClient_(std::move(environment.networkingClient)),
      swapTimeout_(environment.swapTimeout),
      terminateWait_(environment.terminateWait),
      root_(root),
      sessionIdentifier_(sessionIdentifier),
      sessionTimestamp_(sessionTimestamp),
      betaToken_(betaToken),
      repository_(root),
      maintenanceQueue_(dispatch::Queue::createSerial("com.blackbox.analytics.maintenance")),
      priorityQueues_{dispatch::Queue::createSerial("com.blackbox.analytics.high-priority"),
                      dispatch::Queue::createSerial("com.blackbox.analytics.medium-priority"),
                      dispatch::Queue::createSerial("com.blackbox.analytics.low-priority")},
      settings_(std::make_shared<Settings>()) {}

Controller::~BBXAnalyticsController() {
    center_->removeObservers(this);
    if (maintenanceTimer_) maintenanceTimer_->cancel();
    if (lockFd_ >= 0) ::close(lockFd_);
}

bool Controller::lockTree() {
    if (auto made = repository_.createDirectoryWithURL(root_); !made.ok()) return true;  // the first fragment reports it
    lockFd_ = ::open((root_ / kLockFileName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0) return true;  // no lock to be had is no reason to stop
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0) return true;
    ::close(lockFd_);
    lockFd_ = -1;
    return errno != EWOULDBLOCK;
}

void Controller::readLastSessionInformation() {
    lastSessionIdentifier_.reset();
    lastSessionTimestamp_ = 0;
    lastSessionMetadata_.reset();
    PlistValue identifier = store_->objectForKey(kLastSessionIdentifierKey);
    PlistValue timestamp = store_->objectForKey(kLastSessionTimestampKey);
    PlistValue metadata = store_->objectForKey(kLastSessionMetadataKey);
    if (!identifier.asString() || !timestamp.isNumber() || !metadata.asData()) return;
    lastSessionIdentifier_ = *identifier.asString();
    lastSessionTimestamp_ = static_cast<uint64_t>(std::max<int64_t>(0, timestamp.integerValue()));
    lastSessionMetadata_ = *metadata.asData();
}

void Controller::saveCurrentSessionInformation() {
    store_->setObject(PlistValue(sessionIdentifier_), kLastSessionIdentifierKey);
    store_->setObject(PlistValue(static_cast<int64_t>(sessionTimestamp_)), kLastSessionTimestampKey);
    store_->setObject(PlistValue(metadataController_->metadataJSONData()), kLastSessionMetadataKey);
    store_->synchronize();
}

void Controller::observeNotifications() {
    std::weak_ptr<Controller> weak = weak_from_this();
    center_->addObserver(
        kSettingsAvailableNotification, nullptr,
        [weak](const foundation::Notification&) {
            if (auto self = weak.lock()) self->beaconSettingsDownloaded();
        },
        this);
    for (const char* name : kLifecycleNames)
        center_->addObserver(
            name, nullptr,
            [weak](const foundation::Notification& notification) {
                if (auto self = weak.lock()) self->applicationLifecycleEvent(notification.name);
            },
            this);
}

void Controller::beaconSettingsDownloaded() { setSettings(beacon_->settings()); }

std::shared_ptr<const Controller::Settings> Controller::settings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

bool Controller::analyticsFeatureSwitchEnabled() const { return settings()->analyticsEnabled(); }

bool Controller::customEventsFeatureSwitchEnabled() const {
    auto s = settings();
    return !s->haveSettings || (s->shouldCollectAnalytics && s->trackCustomEvents);
}

bool Controller::predefinedEventsFeatureSwitchEnabled() const {
    auto s = settings();
    return !s->haveSettings || (s->shouldCollectAnalytics && s->trackPredefinedEvents);
}

void Controller::setSettings(std::shared_ptr<const Dictionary> settings) {
    auto self = shared_from_this();
    maintenanceQueue_->async([self, settings = std::move(settings)] { self->applySettings(settings); });
}

void Controller::applySettings(std::shared_ptr<const Dictionary> dictionary) {
    auto applied = std::make_shared<const Settings>(Settings::fromDictionary(dictionary.get()));
    bool wasCollecting = analyticsFeatureSwitchEnabled();
    {
        std::lock_guard lock(mutex_);
        settings_ = applied;
    }
    if (applied->shouldCollectAnalytics && tally::debugEnabled()) {
        const PlistValue* analytics = valueAt(dictionary.get(), "analytics");
        tally::log(foundation::format("[Blackbox:Tally] Tally enabled with settings: %@",
                                      analytics ? analytics->description() : std::string("(null)")));
    }
    scheduleSessionMaintenance();
    if (!analyticsFeatureSwitchEnabled()) handleDisabledFeatureSwitch();
    if (!applied->shouldCollectAnalytics) return;
    // Switched off and on again in this run: the purge took the fragment's
    // folder, so events need a new one.
    if (!wasCollecting || !BBXEventLogSessionRepository::isDirectoryURL(currentSessionFragmentDirectoryURL())) {
        if (auto opened = runOpenNewSessionFragment(); !opened.ok())
            tally::debugLog(foundation::format("[Blackbox:Tally] Unable to prepare new session fragment {error: %@}",
                                               opened.error()));
    }
    if (!loggedAnalyticsEnabled_) {
        auto session = repository_.sessionDirectoryURLForStateName(BBXEventLogSessionRepository::kActiveState,
                                                                   sessionIdentifier_, sessionTimestamp_);
        if (session.ok()) {
            tally::debugLog(foundation::format("[Blackbox:Tally] Logging events to session directory %@",
                                               session.value().string()));
            loggedAnalyticsEnabled_ = true;
        }
    }
    if (performAfterSettings_.load()) runSessionMaintenance(nullptr);
}

void Controller::handleDisabledFeatureSwitch() {
    tally::debugLog("[Blackbox:Tally] Tally is disabled. Cleaning up session directory");
    std::error_code ignored;
    if (!fs::exists(fs::symlink_status(root_, ignored))) return;
    for (uint64_t priority = 0; priority < 3; ++priority)
        priorityQueues_[priority]->sync([this, priority] {
            priorityState_[priority].fileURL.reset();
            priorityState_[priority].file.reset();
        });
    // Everything but the lock: the tree stays this process's while it runs.
    std::error_code error;
    for (fs::directory_iterator it(root_, error), end; !error && it != end; it.increment(error)) {
        if (it->path().filename() == kLockFileName) continue;
        std::error_code removeError;
        fs::remove_all(it->path(), removeError);
        if (removeError) error = removeError;
    }
    if (error)
        tally::debugLog(foundation::format("[Blackbox:Tally] Unable to purge analytics directory {error = %@}",
                                           error.message()));
    performAfterSettings_.store(false);
}

bool Controller::sampledOut(std::string_view key, int64_t samplingRate) const {
    return BBXAnalyticsEventFilter::shouldDiscardEventWithKey(key, betaToken_.has_value(), beacon_->installID(),
                                                              samplingRate);
}

void Controller::logEvent(const std::shared_ptr<BBXEventLogEvent>& event) {
    if (!event) return;
    auto s = settings();
    if (sampledOut(event->key(), s->samplingRate)) {
        if (tally::debugEnabled())
            tally::log(foundation::format("[Blackbox:Tally] Application is enabled for sampling, skipping %@",
                                          event->eventData().toString()));
        return;
    }
    if (!s->analyticsEnabled()) return;
    uint64_t priority = event->priority();
    if (priority > 2) return;
    if (priority == 2) {
        addToLowPriorityBatch(PendingEvent{event, nullptr, 0, {}});
        return;
    }
    auto self = shared_from_this();
    priorityQueues_[priority]->sync([self, priority, event] { self->writeEvent(priority, *event); });
}

void Controller::addToLowPriorityBatch(PendingEvent pending) {
    std::lock_guard lock(batchMutex_);
    batch_.push_back(std::move(pending));
    if (batchWriteQueued_) return;
    batchWriteQueued_ = true;
    // Queued under the batch's lock: whatever is queued on the low-priority
    // queue once this call has returned runs after the batch is written.
    priorityQueues_[2]->async([self = shared_from_this()] { self->writeLowPriorityBatch(); });
}

void Controller::writeLowPriorityBatch() {
    {
        std::lock_guard lock(batchMutex_);
        writingBatch_.swap(batch_);
        batchWriteQueued_ = false;
    }
    // Lines go out in pieces of about this size: few writes for a large batch,
    // and the size trigger still sees the file grow between pieces.
    constexpr size_t kPieceBytes = 64 * 1024;
    std::string lines, payload;
    std::vector<size_t> ends;  // where each line ends in lines
    for (PendingEvent& pending : writingBatch_) {
        if (pending.event) pending.event->appendEventData(lines);
        else if (!BBXAnalyticsEvent::appendTallyEventLine(lines, payload, *pending.tallyEvent, pending.timestamp,
                                                          pending.eventIdentifier))
            continue;  // no JSON form (logged in debug)
        ends.push_back(lines.size());
        if (lines.size() >= kPieceBytes) writeLowPriorityLines(lines, ends);
    }
    writeLowPriorityLines(lines, ends);
    writingBatch_.clear();
    if (writingBatch_.capacity() > 4096) writingBatch_ = {};  // a burst's storage is not kept
}

void Controller::writeLowPriorityLines(std::string& lines, std::vector<size_t>& ends) {
    if (ends.empty()) return;
    if (auto ensured = ensureLogFileExistsForPriority(2); !ensured.ok()) {
        for (size_t n = 0; n < ends.size(); ++n)
            tally::debugLog(foundation::format(
                "[Blackbox:Tally] Unable to create a new log file for priority %zd {error: %@}", 2L, ensured.error()));
    } else {
        auto& file = *priorityState_[2].file;
        // A failed append leaves the file as it was: then each line is tried on
        // its own, so those that fit are written and the rest fail one by one.
        if (!file.appendData(lines).ok()) {
            size_t start = 0;
            for (size_t end : ends) {
                if (auto appended = file.appendData(std::string_view(lines).substr(start, end - start)); !appended.ok())
                    tally::debugLog(foundation::format("[Blackbox:Tally] Unable to log event {error: %@}", appended.error()));
                start = end;
            }
        }
        handleSizeTriggeredMaintainSessionFragmentForLogFile(file);
    }
    lines.clear();
    ends.clear();
}

void Controller::writeEvent(uint64_t priority, const BBXEventLogEvent& event) {
    if (auto ensured = ensureLogFileExistsForPriority(priority); !ensured.ok()) {
        tally::debugLog(foundation::format("[Blackbox:Tally] Unable to create a new log file for priority %zd {error: %@}",
                                           static_cast<long>(priority), ensured.error()));
        return;
    }
    auto& file = *priorityState_[priority].file;
    if (auto appended = file.appendEvent(event); !appended.ok()) {
        tally::debugLog(foundation::format("[Blackbox:Tally] Unable to log event {error: %@}", appended.error()));
        return;
    }
    if (!handleSizeTriggeredMaintainSessionFragmentForLogFile(file)) handlePriorityTriggeredMaintainSessionFragmentForEvent(event);
}

foundation::Result<void> Controller::ensureLogFileExistsForPriority(uint64_t priority) {
    if (priority == BBXEventLogSessionRepository::kNoPriority) return {};
    PriorityState& state = priorityState_[priority];
    if (state.file) return {};
    if (!state.fileURL) return controllerError(ENOENT, "No current session fragment");
    auto file = BBXEventLogEventFile::initWithURL(*state.fileURL);
    if (!file) return controllerError(EIO, "Unable to open " + state.fileURL->string());
    BBXAnalyticsMetadataEvent metadata(priority, state.fragmentTimestamp, metadataController_->metadataJSONData());
    if (auto appended = file->appendEvent(metadata); !appended.ok()) return appended.error();
    state.file = std::move(file);
    return {};
}

bool Controller::handleSizeTriggeredMaintainSessionFragmentForLogFile(const BBXEventLogEventFile& file) {
    uint64_t limit = settings()->maxByteSizePerFile;
    if (limit == 0 || file.fileSize() <= limit) return false;
    maintainSessionFragmentsIgnoringError();
    return true;
}

void Controller::handlePriorityTriggeredMaintainSessionFragmentForEvent(const BBXEventLogEvent& event) {
    if (event.priority() != 0) return;
    if (settings()->haveSettings) maintainSessionFragmentsIgnoringError();
    else performAfterSettings_.store(true);
}

void Controller::logTallyEvent(std::shared_ptr<const BBXTallyEvent> event) {
    auto s = settings();
    if (!s->analyticsEnabled()) {
        tally::log("[Blackbox:Tally] Tally is disabled for this application. Please enable Tally on your dashboard.");
        return;
    }
    if (tally::debugEnabled()) tally::log(foundation::format("[Blackbox:Tally] Logging event: %@", event->description()));
    uint64_t timestamp = timestampGenerator_->generateAnalyticsTimestamp();
    std::string identifier = identifierGenerator_->generateEventIdentifier();
    if (sampledOut(event->key(), s->samplingRate)) {
        logEvent(BBXAnalyticsEvent::initWithTallyEvent(*event, timestamp, std::move(identifier)));
        return;
    }
    // Tally events are low priority: the writer makes their lines.
    addToLowPriorityBatch(PendingEvent{nullptr, std::move(event), timestamp, std::move(identifier)});
}

void Controller::logPredefinedEvent(const std::shared_ptr<BBXTallyPredefinedEvent>& event) {
    if (!event) return;
    if (!predefinedEventsFeatureSwitchEnabled()) {
        tally::log(foundation::format("[Blackbox:Tally] Tally Event tracking is disabled for this application. Ignoring %@",
                                      event->description()));
        return;
    }
    logTallyEvent(event);
}

void Controller::logCustomEvent(const std::shared_ptr<BBXTallyCustomEvent>& event) {
    if (!event) return;
    if (!customEventsFeatureSwitchEnabled()) {
        tally::log(foundation::format("[Blackbox:Tally] Tally Event tracking is disabled for this application. Ignoring %@",
                                      event->description()));
        return;
    }
    logTallyEvent(event);
}

void Controller::applicationLifecycleEvent(const std::string& notificationName) {
    logEvent(Lifecycle::initWithApplicationNotificationName(notificationName, timestampGenerator_->generateAnalyticsTimestamp(),
                                                            identifierGenerator_->generateEventIdentifier(),
                                                            settings()->shouldFlushOnBackground));
    if (notificationName == Lifecycle::kWillTerminateNotification) waitForLowPriorityEvents();
}

void Controller::waitForLowPriorityEvents() {
    auto group = std::make_shared<dispatch::Group>();
    group->enter();
    priorityQueues_[2]->async([group] { group->leave(); });
    group->wait(terminateWait_);
}

void Controller::logAppInstalled() {
    if (!beacon_->isFirstInstall()) return;
    logEvent(Lifecycle::initApplicationInstalledEvent(timestampGenerator_->generateAnalyticsTimestamp(),
                                                      identifierGenerator_->generateEventIdentifier()));
}

void Controller::logAppLaunched() {
    logEvent(Lifecycle::initApplicationLaunchedEvent(timestampGenerator_->generateAnalyticsTimestamp(),
                                                     identifierGenerator_->generateEventIdentifier()));
}

void Controller::logPreviousSessionCrashedOnDate(const std::optional<foundation::Date>& date) {
    if (tally::debugEnabled())
        tally::log(foundation::format("[Blackbox:Tally] Logging previous session crashed event {date: %@}",
                                      date ? date->description() : std::string("(null)")));
    auto self = shared_from_this();
    maintenanceQueue_->async([self, date] {
        if (!date || !self->lastSessionIdentifier_ || !self->lastSessionMetadata_ || self->lastSessionTimestamp_ == 0) return;
        double seconds = std::floor(date->timeIntervalSince1970());
        uint64_t crashTime = BBXAnalyticsTimestampGenerator::timestampFromSeconds(seconds);
        auto crashed = Lifecycle::initApplicationCrashedEvent(crashTime, self->identifierGenerator_->generateEventIdentifier());
        BBXAnalyticsMetadataEvent metadata(1, crashTime, *self->lastSessionMetadata_);
        auto url = self->repository_.eventLogFileURLForStateName(
            BBXEventLogSessionRepository::kActiveState, *self->lastSessionIdentifier_, self->lastSessionTimestamp_,
            self->identifierGenerator_->generateSessionFragmentIdentifier(), crashTime, 1);
        if (!url.ok()) {
            tally::debugLog(foundation::format(
                "[Blackbox:Tally] Unable to create a new session fragment to contain crash event {error: %@}", url.error()));
            return;
        }
        auto file = BBXEventLogEventFile::initWithURL(url.value());
        if (!file) return;
        std::optional<std::string> failure;
        if (auto appended = file->appendEvent(metadata); !appended.ok())
            failure = foundation::format("[Blackbox:Tally] Unable to log metadata event {error: %@}", appended.error());
        else if (auto appendedCrash = crashed ? file->appendEvent(*crashed) : foundation::Result<void>(controllerError(EINVAL, "no event"));
                 !appendedCrash.ok())
            failure = foundation::format("[Blackbox:Tally] Unable to log crash event {error: %@}", appendedCrash.error());
        if (failure) {
            tally::debugLog(*failure);
            file.reset();
            (void)self->repository_.removeLogFile(url.value());
        }
    });
}

void Controller::openNewSessionFragment(std::function<void(std::optional<foundation::Error>)> completion) {
    auto self = shared_from_this();
    maintenanceQueue_->async([self, completion = std::move(completion)] {
        auto opened = self->runOpenNewSessionFragment();
        if (completion) completion(opened.ok() ? std::nullopt : std::optional<foundation::Error>(opened.error()));
    });
}

foundation::Result<void> Controller::runOpenNewSessionFragment() {
    auto prepared = prepareNewSessionFragment(identifierGenerator_->generateSessionFragmentIdentifier(),
                                              timestampGenerator_->generateAnalyticsTimestamp());
    if (!prepared.ok()) return prepared.error();
    if (!prepared.value()) return controllerError(ETIMEDOUT, "The fragment swap did not finish in time");
    return {};
}

foundation::Result<bool> Controller::prepareNewSessionFragment(const std::string& identifier, uint64_t timestamp) {
    Path urls[3];
    for (uint64_t priority = 0; priority < 3; ++priority) {
        auto url = repository_.eventLogFileURLForStateName(BBXEventLogSessionRepository::kActiveState, sessionIdentifier_,
                                                           sessionTimestamp_, identifier, timestamp, priority);
        if (!url.ok()) return url.error();
        urls[priority] = url.value();
    }
    Path previous;
    {
        // The fields change together, and only once the folder is there.
        std::lock_guard lock(mutex_);
        previous = currentFragmentDirectory_;
        currentFragmentIdentifier_ = identifier;
        currentFragmentTimestamp_ = timestamp;
        currentFragmentDirectory_ = urls[0].parent_path();
        if (!previous.empty()) pendingSwaps_[previous] += 3;
    }
    auto group = std::make_shared<dispatch::Group>();
    std::weak_ptr<Controller> weak = weak_from_this();
    for (uint64_t priority = 0; priority < 3; ++priority) {
        group->enter();
        priorityQueues_[priority]->async([this, weak, group, priority, url = urls[priority], timestamp, previous] {
            // Queued events before this block went to the previous fragment.
            if (auto self = weak.lock()) {
                priorityState_[priority] = PriorityState{url, timestamp, nullptr};
                std::lock_guard lock(mutex_);
                if (!previous.empty() && --pendingSwaps_[previous] <= 0) pendingSwaps_.erase(previous);
            }
            group->leave();
        });
    }
    return group->wait(swapTimeout_);
}

Controller::Path Controller::currentSessionFragmentDirectoryURL() const {
    std::lock_guard lock(mutex_);
    return currentFragmentDirectory_;
}

bool Controller::isSessionFragmentOpen(const Path& fragment) const {
    std::lock_guard lock(mutex_);
    return fragment == currentFragmentDirectory_ || pendingSwaps_.count(fragment) > 0;
}

foundation::Date Controller::lastMaintenanceDate() {
    PlistValue value = store_->objectForKey(kLastMaintenanceDateKey);
    if (const foundation::Date* date = value.asDate()) return *date;
    foundation::Date now = foundation::Date::now();
    saveLastMaintenanceDate(now);
    return now;
}

void Controller::saveLastMaintenanceDate(const foundation::Date& date) {
    store_->setObject(PlistValue(date), kLastMaintenanceDateKey);
    store_->synchronize();
}

double Controller::initialMaintenanceTimeWithFlushInterval(uint32_t interval) {
    double since = foundation::Date::now().timeIntervalSince(lastMaintenanceDate());
    if (!(since > 0)) since = 0;  // a date in the future (the clock was set back) counts as now
    return std::max(0.0, static_cast<double>(interval) - since);
}

void Controller::cancelSessionMaintenance() {
    if (maintenanceTimer_) maintenanceTimer_->cancel();
    maintenanceTimer_.reset();
}

void Controller::scheduleSessionMaintenance() {
    cancelSessionMaintenance();
    auto s = settings();
    if (!analyticsFeatureSwitchEnabled() || s->flushIntervalSecs == 0) return;
    maintenanceTimer_ = dispatch::TimerSource::create(maintenanceQueue_);
    std::weak_ptr<Controller> weak = weak_from_this();
    maintenanceTimer_->setHandler([weak] {
        if (auto self = weak.lock()) self->runSessionMaintenance(nullptr);
    });
    maintenanceTimer_->setTimer(initialMaintenanceTimeWithFlushInterval(s->flushIntervalSecs), s->flushIntervalSecs);
    maintenanceTimer_->resume();
}

void Controller::maintainSessionFragmentsIgnoringError() { maintainSessionFragments(nullptr); }

void Controller::maintainSessionFragments(Completion completion) {
    auto self = shared_from_this();
    maintenanceQueue_->async([self, completion = std::move(completion)]() mutable {
        self->runSessionMaintenance(std::move(completion));
    });
}

void Controller::runSessionMaintenance(Completion completion) {
    ++maintenanceRuns_;
    // The first step: later lines go to a new fragment, so the previous one
    // is closed once its swaps have run.
    if (auto opened = runOpenNewSessionFragment(); !opened.ok())
        logFailure("[Blackbox:Tally] Unable to open new session fragment {%@}", opened.error());
    if (auto packaged = runPackageClosedSessionFragments(); !packaged.ok())
        logFailure("[Blackbox:Tally] Unable to package closed session fragments {%@}", packaged.error());
    auto self = shared_from_this();
    transmitPackagedSessionFragments([self, completion = std::move(completion)](std::optional<foundation::Error> error) {
        // On the maintenance queue.
        if (error) logFailure("[Blackbox:Tally] Unable to transmit packaged session fragments {%@}", error);
        else tally::debugLog("[Blackbox:Tally] Successfully transmitted packaged session fragments");
        if (auto pruned = self->runPruneSessionFragmentLogFiles(); !pruned.ok())
            logFailure("[Blackbox:Tally] Unable to prune session fragment log files {%@}", pruned.error());
        if (auto swept = self->repository_.cleanUpEventLogRepositoryIgnorningSessionFragmentDirectoryURL(
                self->currentSessionFragmentDirectoryURL());
            !swept.ok())
            logFailure("[Blackbox:Tally] Unable to clean up session repository {%@}", swept.error());
        self->saveLastMaintenanceDate(foundation::Date::now());
        if (completion) completion(std::nullopt);
    });
}

void Controller::packageClosedSessionFragments(Completion completion) {
    auto self = shared_from_this();
    maintenanceQueue_->async([self, completion = std::move(completion)] {
        auto packaged = self->runPackageClosedSessionFragments();
        if (completion) completion(packaged.ok() ? std::nullopt : std::optional<foundation::Error>(packaged.error()));
    });
}

foundation::Result<void> Controller::runPackageClosedSessionFragments() {
    purgePackagedPrepSessionFragmentDirectories();
    auto fragments = sessionFragmentDirectoryURLsForStateName(BBXEventLogSessionRepository::kActiveState);
    if (!fragments.ok()) return fragments.error();
    for (const auto& fragment : fragments.value()) {
        // The current fragment, and one whose swaps have not all run, may
        // still take lines.
        if (isOpenSessionFragmentDirectoryURL(fragment)) continue;
        // Packaged whole already, and the process ended before this folder
        // went: packaging again could put a partly removed copy in its place.
        auto packagedTwin = repository_.stateDirectoryURLForStateName(BBXEventLogSessionRepository::kPackagedState);
        if (packagedTwin.ok() &&
            BBXEventLogSessionRepository::isDirectoryURL(packagedTwin.value() / fragment.parent_path().filename() /
                                                         fragment.filename())) {
            if (auto removed = repository_.removeSessionFragmentDirectory(fragment); !removed.ok()) return removed.error();
            continue;
        }
        auto prep = repository_.prepSessionFragmentDirectoryURLForStateName(BBXEventLogSessionRepository::kPackagedState,
                                                                            fragment);
        if (!prep.ok()) return prep.error();
        if (auto packaged = packageLogsFromActiveSessionFragmentDirectoryURL(fragment, prep.value()); !packaged.ok())
            return packaged.error();
        if (auto plain = repository_.removePrepStatusFromSessionFragmentDirectoryURL(prep.value()); !plain.ok())
            return plain.error();
        if (auto removed = repository_.removeSessionFragmentDirectory(fragment); !removed.ok()) return removed.error();
    }
    return {};
}

foundation::Result<void> Controller::packageLogsFromActiveSessionFragmentDirectoryURL(const Path& active,
                                                                                      const Path& packaged) {
    auto items = BBXEventLogSessionRepository::contentsOfDirectoryURL(active);
    if (!items.ok()) return items.error();
    for (const auto& item : items.value()) {
        if (!BBXEventLogSessionRepository::itemURLHasPathExtensionMatching(item, {"log"})) continue;
        std::error_code ignored;
        if (!fs::is_regular_file(fs::symlink_status(item, ignored))) continue;  // a link is never followed
        Path destination = packaged / (item.filename().string() + ".zip");
        int source = ::open(item.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (source < 0) return errnoError(item);
        int target = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (target < 0) {
            auto error = errnoError(destination);
            ::close(source);
            return error;
        }
        // A torn last line is left out: a fragment goes out in whole lines only.
        off_t whole = wholeLinesLength(source);
        int result = whole < 0 ? -1 : BBXAnalyticsGzipFile(source, target, static_cast<uint64_t>(whole));
        ::close(source);
        if (::close(target) != 0) result = -1;
        if (result != 0) return controllerError(EIO, "Unable to package " + item.string());
    }
    return {};
}

bool Controller::purgePackagedPrepSessionFragmentDirectories() {
    if (auto purged = repository_.purgePrepSessionFragmentDirectoriesForStateName(BBXEventLogSessionRepository::kPackagedState);
        !purged.ok())
        tally::debugLog(foundation::format("[Blackbox:Tally] Unable to purge packaged prep session fragments {error = %@}",
                                           purged.error()));
    return true;
}

foundation::Result<std::vector<Controller::Path>> Controller::sessionFragmentDirectoryURLsForStateName(
    const std::string& state) {
    auto sessions = repository_.sessionDirectoryURLsForStateName(state);
    if (!sessions.ok()) return sessions.error();
    std::vector<Path> fragments;
    for (const auto& session : sessions.value()) {
        auto inSession = repository_.sessionFragmentDirectoryURLsForSessionDirectory(session);
        if (!inSession.ok()) return inSession.error();
        fragments.insert(fragments.end(), inSession.value().begin(), inSession.value().end());
    }
    return fragments;
}

bool Controller::isOpenSessionFragmentDirectoryURL(const Path& fragment) const {
    return isSessionFragmentOpen(fragment.lexically_normal());
}

void Controller::transmitPackagedSessionFragments(Completion completion) {
    auto s = settings();
    if (!s->analyticsURL) {
        completion(maintenanceError(kNoAnalyticsURL));
        return;
    }
    if (sessionFragmentsToTransmit_) {
        completion(maintenanceError(kUploadInProgress));
        return;
    }
    auto fragments = sessionFragmentDirectoryURLsForStateName(BBXEventLogSessionRepository::kPackagedState);
    if (!fragments.ok()) {
        completion(fragments.error());
        return;
    }
    sessionFragmentsToTransmit_.emplace();
    // A prep folder is a packaging that has not finished (or died): its files
    // may be half written, and it would be sent again once packaged.
    for (const auto& fragment : fragments.value())
        if (!BBXEventLogSessionRepository::isPrepDirectoryURL(fragment)) sessionFragmentsToTransmit_->push_back(fragment);
    transmitNextPackagedSessionFragment(std::move(completion));
}

void Controller::transmitNextPackagedSessionFragment(Completion completion) {
    if (!sessionFragmentsToTransmit_ || sessionFragmentsToTransmit_->empty()) {
        sessionFragmentsToTransmit_.reset();
        completion(std::nullopt);
        return;
    }
    Path fragment = sessionFragmentsToTransmit_->front();
    tally::debugLog(foundation::format("[Blackbox:Tally] Transmitting packaged session fragments in %@", fragment.string()));
    auto self = shared_from_this();
    auto next = [self, fragment, completion](std::optional<foundation::Error> error) mutable {
        self->maintenanceQueue_->async([self, fragment, error, completion = std::move(completion)]() mutable {
            if (!error) {
                if (auto removed = self->repository_.removeSessionFragmentDirectory(fragment); !removed.ok())
                    tally::debugLog(foundation::format("[Blackbox:Tally] Unable to delete session fragment directory \"%@\" {%@}",
                                                       fragment.string(), removed.error().description()));
            }
            if (self->sessionFragmentsToTransmit_ && !self->sessionFragmentsToTransmit_->empty())
                self->sessionFragmentsToTransmit_->pop_front();
            self->transmitNextPackagedSessionFragment(std::move(completion));
        });
    };
    auto files = repository_.logFileURLsForSessionFragmentDirectory(fragment);
    auto url = settings()->analyticsURL;
    if (!files.ok() || !url) {
        next(files.ok() ? maintenanceError(kNoAnalyticsURL) : files.error());
        return;
    }
    networkingClient_->transmitLogFilesAtURLs(files.value(), *url, beacon_->APIKey(), std::move(next));
}

void Controller::pruneSessionFragmentLogFiles(Completion completion) {
    auto self = shared_from_this();
    maintenanceQueue_->async([self, completion = std::move(completion)] {
        auto pruned = self->runPruneSessionFragmentLogFiles();
        if (completion) completion(pruned.ok() ? std::nullopt : std::optional<foundation::Error>(pruned.error()));
    });
}

foundation::Result<void> Controller::runPruneSessionFragmentLogFiles() {
    auto s = settings();
    if (!s->haveSettings) return {};
    auto files = nonCurrentLogFileURLsForAllStates();
    if (!files.ok()) return files.error();
    size_t count = files.value().size();
    if (count <= s->maxPendingSendFileCount) return {};
    auto groups = mutableSortedFileURLsGroupedByPrioritiesFromLogFileURLs(files.value());
    for (;;) {
        if (groups.empty() || groups.back().empty()) return maintenanceError(kPruningStuck);
        // The oldest file of the lowest priority.
        Path oldest = groups.back().front();
        if (auto removed = repository_.removeLogFile(oldest); !removed.ok()) return removed.error();
        groups.back().pop_front();
        while (!groups.empty() && groups.back().empty()) groups.pop_back();
        if (--count <= s->maxPendingSendFileCount) return {};
    }
}

std::vector<std::deque<Controller::Path>> Controller::mutableSortedFileURLsGroupedByPrioritiesFromLogFileURLs(
    const std::vector<Path>& files) {
    std::vector<std::deque<Path>> groups;
    for (const auto& file : files) {
        uint64_t priority = BBXEventLogSessionRepository::priorityForEventLogFileWithName(file.filename().string());
        if (priority > 2) continue;
        if (groups.size() <= priority) groups.resize(priority + 1);
        groups[priority].push_back(file);
    }
    for (auto& group : groups)
        std::sort(group.begin(), group.end(), [](const Path& a, const Path& b) { return a.string() < b.string(); });
    return groups;
}

foundation::Result<std::vector<Controller::Path>> Controller::nonCurrentLogFileURLsForAllStates() {
    auto files = repository_.logFileURLsForAllStates();
    if (!files.ok()) return files.error();
    std::vector<Path> nonCurrent;
    for (const auto& file : files.value())
        if (!isOpenSessionFragmentDirectoryURL(file.parent_path())) nonCurrent.push_back(file);
    return nonCurrent;
}

void Controller::cleanUpRepository(Completion completion) {
    auto self = shared_from_this();
    maintenanceQueue_->async([self, completion = std::move(completion)] {
        auto swept = self->repository_.cleanUpEventLogRepositoryIgnorningSessionFragmentDirectoryURL(
            self->currentSessionFragmentDirectoryURL());
        if (completion) completion(swept.ok() ? std::nullopt : std::optional<foundation::Error>(swept.error()));
    });
}
