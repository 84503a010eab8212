#pragma once
// The engine behind Tally: every event becomes a line in one of three log
// files (priorities 0, 1, 2) of the current session fragment, a folder of the
// ACTIVE tree. It applies the downloaded settings, watches the application's
// lifecycle notifications, opens a new fragment at every maintenance run,
// records the previous run's crash into that run's session, and starts
// maintenance on a timer, on a full log file and on high-priority events.
//
// Threads: public calls from any thread. Settings, the timer, maintenance and
// the previous run's crash run on the serial maintenance queue; writes on the
// three serial priority queues (priorities 0 and 1 block the caller until the
// line is written, priority 2 never does). The priority queues never wait for
// the maintenance queue.
//
// Low-priority events are batched: a caller adds the event to a pending batch
// under a short lock and queues a writing block only when the batch was empty,
// so a busy caller neither wakes the writer per event nor waits for it. The
// block takes the batch whole, makes the Tally events' lines (their JSON is
// written on the writer, straight from the events, not on the caller) and
// appends them in a few large writes, falling back to one write per event when a write fails, so a
// full disk still refuses events one by one on whole lines. A block queued on
// the low-priority queue after a call (a barrier, a fragment swap, the wait at
// will-terminate) runs after that call's event is written.
//
// Where this goes beyond the bare description of the engine:
// - Settings are an immutable snapshot replaced whole, so a priority queue
//   reads one consistent set; numbers are read saturating (negative or not a
//   number as 0, too large as the type's largest).
// - A last maintenance in the future counts as now: the first timer fire is
//   at most one interval away.
// - A fragment stays open (isSessionFragmentOpen) until all three of its
//   swaps ran, even when the swap's wait (swapTimeout, 5 s) ran out, so it is
//   never taken for closed while a line may still reach it.
// - Analytics switched off and on again in one run opens a new fragment, so
//   events find a folder to go to.
// - At will-terminate, the low-priority queue gets at most terminateWait
//   (1 s) to write what it holds.
// - The root holds a hidden lock file: a second process on the same tree gets
//   no controller and runs without analytics. Switching analytics off empties
//   the root but keeps the lock, so the tree stays this process's.
//
// Maintenance (packaging, upload, pruning, the sweep) goes further too:
// - A fragment still open (its swaps not all run) is neither packaged nor
//   pruned in that run.
// - The upload skips "prep" folders: their files may be half written, and
//   they would go out again once packaged.
// - A fragment with a file that cannot be read fails its upload and is kept.
// - Only regular files are packaged: a link in a fragment is never followed.

#include <atomic>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/TimerSource.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PlistValue.h"
#include "sdk/tally/BBXEventLogSessionRepository.h"

class BBXAnalyticsIdentifierGenerator;
class BBXAnalyticsNetworkingClient;
class BBXAnalyticsMetadataController;
class BBXAnalyticsTimestampGenerator;
class BBXEventLogEvent;
class BBXEventLogEventFile;
class BBXTallyCustomEvent;
class BBXTallyEvent;
class BBXTallyPredefinedEvent;
class BBXUserDefaults;
class Beacon;

class BBXAnalyticsController : public std::enable_shared_from_this<BBXAnalyticsController> {
public:
    using Path = std::filesystem::path;
    using Dictionary = foundation::PlistValue::Dictionary;

    static constexpr const char* kSettingsAvailableNotification = "BCNSettingsAvailableNotification";
    static constexpr const char* kLastSessionIdentifierKey = "com.blackbox.insights.lastsessionidentifier";
    static constexpr const char* kLastSessionTimestampKey = "com.blackbox.insights.lastsessiontimestamp";
    static constexpr const char* kLastSessionMetadataKey = "com.blackbox.insights.lastsessionmetadata";
    static constexpr const char* kLastMaintenanceDateKey = "com.blackbox.insights.lastmaintenancedate";
    static constexpr const char* kLockFileName = ".lock";
    static constexpr const char* kErrorDomain = "BBXAnalyticsControllerErrorDomain";
    // kErrorDomain's codes.
    static constexpr int kUploadInProgress = -1;
    static constexpr int kNoAnalyticsURL = -2;
    static constexpr int kPruningStuck = -3;

    using Completion = std::function<void(std::optional<foundation::Error>)>;

    // The applied settings, read as a whole.
    struct Settings {
        bool haveSettings = false;
        bool shouldCollectAnalytics = false;
        std::optional<std::string> analyticsURL;
        bool shouldFlushOnBackground = false;
        uint64_t maxByteSizePerFile = 0;
        uint32_t flushIntervalSecs = 0;
        uint32_t maxPendingSendFileCount = 0;
        bool trackCustomEvents = true;
        bool trackPredefinedEvents = true;
        int64_t samplingRate = 0;

        // Events are written: no settings yet, or settings collecting analytics.
        bool analyticsEnabled() const { return !haveSettings || shouldCollectAnalytics; }

        // From a settings document ("features" and "analytics"); none gives the
        // state before any settings.
        static Settings fromDictionary(const Dictionary* settings);
    };

    // What the controller works with; each null member is the process's own.
    struct Environment {
        std::shared_ptr<Beacon> beacon;
        std::shared_ptr<BBXUserDefaults> store;
        foundation::NotificationCenter* center = nullptr;
        std::shared_ptr<BBXAnalyticsIdentifierGenerator> identifierGenerator;
        std::shared_ptr<BBXAnalyticsTimestampGenerator> timestampGenerator;
        std::shared_ptr<BBXAnalyticsMetadataController> metadataController;  // made from the session time when null
        std::shared_ptr<BBXAnalyticsNetworkingClient> networkingClient;
        double swapTimeout = 5;
        double terminateWait = 1;
    };

    // No when the main bundle is an application extension.
    static bool supported();
    static bool deviceMeetsMinimumRequirements() { return true; }

    // The session starts now. Null (logged in debug) when the first fragment
    // cannot be made or another process holds the tree.
    static std::shared_ptr<BBXAnalyticsController> initWithSessionIdentifier(const std::string& sessionIdentifier,
                                                                             const Path& analyticsRootDirectoryURL,
                                                                             const std::optional<std::string>& betaToken,
                                                                             Environment environment);
    static std::shared_ptr<BBXAnalyticsController> initWithSessionIdentifier(const std::string& sessionIdentifier,
                                                                             uint64_t sessionTimestamp,
                                                                             const Path& analyticsRootDirectoryURL,
                                                                             const std::optional<std::string>& betaToken,
                                                                             Environment environment);
    ~BBXAnalyticsController();
    BBXAnalyticsController(const BBXAnalyticsController&) = delete;
    BBXAnalyticsController& operator=(const BBXAnalyticsController&) = delete;

    // Applies settings on the maintenance queue (asynchronously).
    void setSettings(std::shared_ptr<const Dictionary> settings);
    void beaconSettingsDownloaded();
    std::shared_ptr<const Settings> settings() const;
    bool analyticsFeatureSwitchEnabled() const;
    bool customEventsFeatureSwitchEnabled() const;
    bool predefinedEventsFeatureSwitchEnabled() const;

    void logEvent(const std::shared_ptr<BBXEventLogEvent>& event);
    void logTallyEvent(std::shared_ptr<const BBXTallyEvent> event);
    void logPredefinedEvent(const std::shared_ptr<BBXTallyPredefinedEvent>& event);
    void logCustomEvent(const std::shared_ptr<BBXTallyCustomEvent>& event);
    void applicationLifecycleEvent(const std::string& notificationName);
    void logAppInstalled();
    void logAppLaunched();
    // The previous run's crash into a closed fragment of the last session.
    void logPreviousSessionCrashedOnDate(const std::optional<foundation::Date>& date);

    // A new fragment, on the maintenance queue; then the completion there.
    void openNewSessionFragment(std::function<void(std::optional<foundation::Error>)> completion);
    foundation::Result<void> runOpenNewSessionFragment();
    // Makes the fragment current; answers an error when its folder cannot be
    // made, and bool false when the swaps did not all run within swapTimeout.
    foundation::Result<bool> prepareNewSessionFragment(const std::string& identifier, uint64_t timestamp);

    foundation::Date lastMaintenanceDate();
    void saveLastMaintenanceDate(const foundation::Date& date);
    // Seconds until the first timer fire: interval less the time since the last
    // maintenance, never below 0 nor above interval.
    double initialMaintenanceTimeWithFlushInterval(uint32_t interval);
    void scheduleSessionMaintenance();
    void cancelSessionMaintenance();
    // A maintenance run on the maintenance queue: a new fragment, packaging of
    // the closed ones, their upload, pruning, the sweep, the date of the run.
    // Each step's failure is logged (debug) and the next step follows; the
    // completion (maintenance queue) gets no error.
    void maintainSessionFragments(Completion completion);
    void maintainSessionFragmentsIgnoringError();

    // The steps, each on the maintenance queue with its completion there.
    void packageClosedSessionFragments(Completion completion);
    foundation::Result<void> runPackageClosedSessionFragments();
    // Uploads every packaged fragment, one at a time; a failed upload keeps
    // its fragment and the loop goes on. kNoAnalyticsURL, kUploadInProgress.
    void transmitPackagedSessionFragments(Completion completion);
    void pruneSessionFragmentLogFiles(Completion completion);
    foundation::Result<void> runPruneSessionFragmentLogFiles();
    void cleanUpRepository(Completion completion);

    // Every fragment folder of every session of the state, "prep" ones too.
    foundation::Result<std::vector<Path>> sessionFragmentDirectoryURLsForStateName(const std::string& state);
    bool purgePackagedPrepSessionFragmentDirectories();
    bool isOpenSessionFragmentDirectoryURL(const Path& fragment) const;
    foundation::Result<void> packageLogsFromActiveSessionFragmentDirectoryURL(const Path& active, const Path& packaged);
    // Log files by priority (0, 1, 2; as many groups as the highest present
    // needs), each group sorted by path; files without a priority left out.
    static std::vector<std::deque<Path>> mutableSortedFileURLsGroupedByPrioritiesFromLogFileURLs(
        const std::vector<Path>& files);
    // Log files of both states outside the open fragments.
    foundation::Result<std::vector<Path>> nonCurrentLogFileURLsForAllStates();
    const std::shared_ptr<BBXAnalyticsNetworkingClient>& networkingClient() const { return networkingClient_; }

    const std::shared_ptr<dispatch::Queue>& sessionMaintenanceQueue() const { return maintenanceQueue_; }
    const std::shared_ptr<dispatch::Queue>& priorityEventLoggingQueue(uint64_t priority) const {
        return priorityQueues_[priority];
    }
    const std::shared_ptr<BBXAnalyticsMetadataController>& metadataController() const { return metadataController_; }
    BBXEventLogSessionRepository& logSessionRepository() { return repository_; }
    const Path& analyticsRootDirectoryURL() const { return root_; }
    const std::string& sessionIdentifier() const { return sessionIdentifier_; }
    uint64_t sessionTimestamp() const { return sessionTimestamp_; }
    Path currentSessionFragmentDirectoryURL() const;
    // The current fragment, or one whose swaps have not all run.
    bool isSessionFragmentOpen(const Path& fragment) const;
    uint64_t maintenanceRunCount() const { return maintenanceRuns_.load(); }
    bool performSessionMaintenanceAfterSettingsArrive() const { return performAfterSettings_.load(); }
    const std::optional<std::string>& lastSessionIdentifier() const { return lastSessionIdentifier_; }
    uint64_t lastSessionTimestamp() const { return lastSessionTimestamp_; }
    const std::optional<foundation::Data>& lastSessionMetadata() const { return lastSessionMetadata_; }

private:
    BBXAnalyticsController(const std::string& sessionIdentifier, uint64_t sessionTimestamp, const Path& root,
                           const std::optional<std::string>& betaToken, Environment environment);
    bool lockTree();
    void readLastSessionInformation();
    void saveCurrentSessionInformation();
    void observeNotifications();
    void applySettings(std::shared_ptr<const Dictionary> settings);
    void handleDisabledFeatureSwitch();
    void writeEvent(uint64_t priority, const BBXEventLogEvent& event);
    bool sampledOut(std::string_view key, int64_t samplingRate) const;
    // One low-priority event waiting in the batch: made by the caller, or a
    // Tally event whose line the writer makes.
    struct PendingEvent {
        std::shared_ptr<const BBXEventLogEvent> event;
        std::shared_ptr<const BBXTallyEvent> tallyEvent;
        uint64_t timestamp = 0;
        std::string eventIdentifier;
    };
    void addToLowPriorityBatch(PendingEvent pending);
    void writeLowPriorityBatch();
    void writeLowPriorityLines(std::string& lines, std::vector<size_t>& ends);
    foundation::Result<void> ensureLogFileExistsForPriority(uint64_t priority);
    bool handleSizeTriggeredMaintainSessionFragmentForLogFile(const BBXEventLogEventFile& file);
    void handlePriorityTriggeredMaintainSessionFragmentForEvent(const BBXEventLogEvent& event);
    void runSessionMaintenance(Completion completion);
    void transmitNextPackagedSessionFragment(Completion completion);
    void waitForLowPriorityEvents();

    std::shared_ptr<Beacon> beacon_;
    std::shared_ptr<BBXUserDefaults> store_;
    foundation::NotificationCenter* center_;
    std::shared_ptr<BBXAnalyticsIdentifierGenerator> identifierGenerator_;
    std::shared_ptr<BBXAnalyticsTimestampGenerator> timestampGenerator_;
    std::shared_ptr<BBXAnalyticsMetadataController> metadataController_;
    std::shared_ptr<BBXAnalyticsNetworkingClient> networkingClient_;
    const double swapTimeout_;
    const double terminateWait_;

    const Path root_;
    const std::string sessionIdentifier_;
    const uint64_t sessionTimestamp_;
    const std::optional<std::string> betaToken_;
    BBXEventLogSessionRepository repository_;  // maintenance queue (and creation)
    int lockFd_ = -1;

    std::shared_ptr<dispatch::Queue> maintenanceQueue_;
    std::shared_ptr<dispatch::Queue> priorityQueues_[3];

    mutable std::mutex mutex_;  // guards the fields up to the next blank line
    std::shared_ptr<const Settings> settings_;
    std::string currentFragmentIdentifier_;
    uint64_t currentFragmentTimestamp_ = 0;
    Path currentFragmentDirectory_;
    std::map<Path, int> pendingSwaps_;

    // Each priority's own, touched only on its queue.
    struct PriorityState {
        std::optional<Path> fileURL;
        uint64_t fragmentTimestamp = 0;
        std::unique_ptr<BBXEventLogEventFile> file;
    };
    PriorityState priorityState_[3];

    std::mutex batchMutex_;  // guards the next two
    std::vector<PendingEvent> batch_;
    bool batchWriteQueued_ = false;
    std::vector<PendingEvent> writingBatch_;  // low-priority queue: the batch being written, its storage reused

    std::atomic<bool> performAfterSettings_{false};
    std::atomic<uint64_t> maintenanceRuns_{0};
    bool loggedAnalyticsEnabled_ = false;                       // maintenance queue
    std::shared_ptr<dispatch::TimerSource> maintenanceTimer_;   // maintenance queue
    std::optional<std::deque<Path>> sessionFragmentsToTransmit_;  // maintenance queue

    std::optional<std::string> lastSessionIdentifier_;
    uint64_t lastSessionTimestamp_ = 0;
    std::optional<foundation::Data> lastSessionMetadata_;
};
