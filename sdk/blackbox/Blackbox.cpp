#include "sdk/blackbox/Blackbox.h"

#include <filesystem>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/SystemLog.h"
#include "sdk/beacon/BCNException.h"
#include "sdk/beacon/BCNHost.h"
#include "sdk/beacon/BCNKitRegistry.h"
#include "sdk/beacon/Beacon.h"
#include "sdk/blackbox/BBXApplication.h"
#include "sdk/blackbox/BBXBetaController.h"
#include "sdk/blackbox/BBXCrashReportingController.h"
#include "sdk/blackbox/BBXException.h"
#include "sdk/blackbox/BBXFileManager.h"
#include "sdk/blackbox/BBXInternalReport.h"
#include "sdk/blackbox/BBXReport.h"
#include "sdk/blackbox/BBXSettings.h"
#include "sdk/blackbox/BBXStackFrame.h"
#include "sdk/blackbox/BBXUserLogging.h"
#include "sdk/blackbox/BBXUtilities.h"
#include "sdk/blackbox/BlackboxDelegate.h"
#include "sdk/tally/Tally.h"

using foundation::PlistValue;

namespace {

void log(const std::string& line) { foundation::systemLog(line); }

const BCNKitClass*& registeredClass() {
    static const BCNKitClass* kitClass = nullptr;
    return kitClass;
}

std::mutex& userScriptClassMutex() {
    static std::mutex mutex;
    return mutex;
}

BBXUserScriptClass& userScriptClass() {
    static BBXUserScriptClass* scriptClass = new BBXUserScriptClass();
    return *scriptClass;
}

// Saves the page's own load and error functions, puts the kit's in their
// place, and puts the error function back in place at load should the page
// have replaced it meanwhile.
constexpr const char* kLoadHook =
    "var blackboxOriginalOnLoad = window.onload;\n"
    "var blackboxOriginalOnError = window.onerror;\n"
    "window.onerror = blackboxOnError;\n"
    "window.onload = blackboxOnLoad;\n"
    "function blackboxOnLoad() {\n"
    "  if (window.onerror !== blackboxOnError) {\n"
    "    blackboxOriginalOnError = window.onerror;\n"
    "    window.onerror = blackboxOnError;\n"
    "  }\n"
    "  if (typeof blackboxOriginalOnLoad === 'function') {\n"
    "    blackboxOriginalOnLoad.apply(this, arguments);\n"
    "  }\n"
    "}\n";

// Posts the error to the kit's message handler, then lets the page's own
// error function see it.
constexpr const char* kErrorHook =
    "function blackboxOnError(msg, url, line, column, error) {\n"
    "  var message = {msg: msg, url: url, line: line, column: column};\n"
    "  window.webkit.messageHandlers.blackbox.postMessage(message);\n"
    "  if (typeof blackboxOriginalOnError === 'function') {\n"
    "    return blackboxOriginalOnError(msg, url, line, column, error);\n"
    "  }\n"
    "}\n";

}  // namespace

std::shared_ptr<Blackbox> Blackbox::sharedInstance() {
    static const auto* shared = new std::shared_ptr<Blackbox>(std::make_shared<Blackbox>());
    return *shared;
}

const BCNKitClass* Blackbox::registerKitClass(BCNKitRegistry& registry) {
    if (registeredClass()) return registeredClass();
    BCNKitClass kit = BCNKitClass::conforming(kClassName, kBundleIdentifier, kKitDisplayVersion, kKitBuildVersion,
                                              [] { initializeIfNeeded(); });
    kit.sharedInstance = []() -> std::shared_ptr<BCNKitInstance> { return sharedInstance(); };
    registeredClass() = registry.registerKitClass(std::move(kit));
    return registeredClass();
}

const BCNKitClass* Blackbox::kitClass() const { return registeredClass(); }

void Blackbox::initializeIfNeeded() { sharedInstance()->start(); }

std::shared_ptr<Blackbox> Blackbox::startWithAPIKey(const std::string& apiKey, std::shared_ptr<BlackboxDelegate> delegate) {
    auto shared = sharedInstance();
    if (delegate) shared->setDelegate(std::move(delegate));
    Beacon::sharedSDK()->setAPIKey(apiKey);
    registerKitClass(BCNKitRegistry::shared());
    try {
        Beacon::with({std::shared_ptr<BCNKitInstance>(shared)});
    } catch (const BCNException& exception) {
        log(foundation::format("[Blackbox] %@: %@", exception.name(), exception.reason()));
    }
    return shared;
}

std::shared_ptr<Blackbox> Blackbox::startWithAPIKeyAfterDelay(const std::string& apiKey, double) {
    log("[Blackbox] Warning, startWithAPIKey:afterDelay: is deprecated.");
    return startWithAPIKey(apiKey);
}

std::shared_ptr<Blackbox> Blackbox::startWithAPIKeyDelegateAfterDelay(const std::string& apiKey,
                                                                      std::shared_ptr<BlackboxDelegate> delegate,
                                                                      double) {
    log("[Blackbox] Warning, startWithAPIKey:delegate:afterDelay: is deprecated.");
    return startWithAPIKey(apiKey, std::move(delegate));
}

// MARK: - Start

void Blackbox::start() {
    std::call_once(started_, [this] { startBody(); });
}

bool Blackbox::isBlackboxStarted() const {
    std::lock_guard lock(mutex_);
    return crashReportingController_ != nullptr;
}

void Blackbox::startBody() {
    uint64_t mark = BBXProfilingMarkNow();
    log(foundation::format("[Blackbox] Version %@ (%@)", kKitDisplayVersion, kKitBuildVersion));
    if (debugMode())
        log(foundation::format("[Blackbox] Running on %@, %@ (%@)", BCNHostGetModel().value_or(""),
                               BCNHostGetOSDisplayVersion(), BCNHostGetOSBuildVersion().value_or("")));
    std::weak_ptr<Blackbox> weak = weak_from_this();
    dispatch::Queue::main()->async([weak] {
        if (auto self = weak.lock()) self->warnDelegateAboutMethods();
    });

    auto fileManager = std::make_shared<BBXFileManager>();
    {
        // Fixed from here on: the crash handler asks without a lock.
        std::lock_guard lock(mutex_);
        if (delegate_ && delegate_->implements(BlackboxDelegate::DidDetectCrash)) crashCallbackDelegate_ = delegate_.get();
    }

    std::shared_ptr<BBXBetaController> beta;
    if (BBXBetaController::isBetaSupported()) {
        beta = BBXBetaController::initWithDelegate(this);
        {
            std::lock_guard lock(mutex_);
            betaController_ = beta;
        }
        if (!beta->start()) log("[Blackbox] Beta could not be initialized");
    }
    std::optional<std::string> betaToken = beta ? beta->betaToken() : std::nullopt;

    auto controller = BBXCrashReportingController::create(fileManager, this);
    {
        std::lock_guard lock(mutex_);
        crashReportingController_ = controller;
    }
    if (!controller->startWithProfilingMark(mark, betaToken)) log("[Blackbox] Crash reporting could not be initialized");

    Tally::sharedInstance()->startWithBetaToken(betaToken);
}

void Blackbox::warnDelegateAboutMethods() {
    auto delegate = this->delegate();
    if (!delegate) return;
    if (delegateRespondsToLegacyMethods())
        log(foundation::format(
            "[Blackbox] The Blackbox delegate '%@' implements deprecated methods.  Please see Blackbox.h for details.",
            delegate->description()));
    if (delegate->implements(BlackboxDelegate::CanUseBackgroundSessions) && BBXApplicationIsAnExtension() &&
        delegate->blackboxCanUseBackgroundSessions(*this))
        log("[Blackbox] Background sessions are not supported in extensions. Please see Blackbox.h for details.");
}

bool Blackbox::delegateRespondsToLegacyMethods() const {
    auto delegate = this->delegate();
    return delegate && (delegate->implements(BlackboxDelegate::DidDetectCrashDuringPreviousExecutionWithReport) ||
                        delegate->implements(BlackboxDelegate::DidDetectCrashDuringPreviousExecution));
}

std::shared_ptr<BBXCrashReportingController> Blackbox::crashReportingController() const {
    std::lock_guard lock(mutex_);
    return crashReportingController_;
}

std::shared_ptr<BBXBetaController> Blackbox::betaController() const {
    std::lock_guard lock(mutex_);
    return betaController_;
}

// MARK: - Delegate and debug flag

std::shared_ptr<BlackboxDelegate> Blackbox::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

void Blackbox::setDelegate(std::shared_ptr<BlackboxDelegate> delegate) {
    if (isBlackboxStarted())
        log("[Blackbox] Warning, setting delegate after start. Make sure to set the Blackbox delegate before calling "
            "startWithAPIKey:.., or +[Beacon with...] to avoid missing some delegate callbacks.");
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

bool Blackbox::debugMode() const { return Beacon::sharedSDK()->debug(); }

void Blackbox::setDebugMode(bool) {
    Beacon::sharedSDK()->setDebug(true);
    if (isBlackboxStarted()) log("[Blackbox] Warning, consider enabling debug mode before starting Blackbox");
}

// MARK: - Identity

std::optional<std::string> Blackbox::APIKey() const {
    try {
        return Beacon::sharedSDK()->APIKey();
    } catch (const BCNException&) {
        return std::nullopt;  // the configuration fault was told at start-up
    }
}

bool Blackbox::isFirstInstall() const { return Beacon::sharedSDK()->isFirstInstall(); }

std::optional<std::string> Blackbox::installID() const {
    if (auto historic = historicInstallID()) return historic;
    return Beacon::sharedSDK()->installID();
}

std::optional<std::string> Blackbox::historicInstallID() {
    std::filesystem::path path = foundation::Paths::applicationSupport() / "com.blackbox" / "BBXUserDefaults.plist";
    std::error_code error;
    if (!std::filesystem::exists(path, error) || std::filesystem::is_directory(path, error)) return std::nullopt;
    auto data = foundation::Data::contentsOfFile(path, size_t{1} << 20);
    if (!data.ok()) return std::nullopt;
    std::string_view bytes = data.value().view();
    auto value = foundation::PropertyList::read(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    if (!value.ok()) return std::nullopt;
    const PlistValue* identifier = value.value().get(kHistoricInstallIDKey);
    if (!identifier || !identifier->asString()) return std::nullopt;
    return *identifier->asString();
}

// MARK: - Keys

namespace {

void recordInternal(const char* key, const std::optional<std::string>& value) {
    BBXUserLoggingRecordInternalKeyValue(std::string(key), value ? PlistValue(*value) : PlistValue());
}

}  // namespace

void Blackbox::setUserIdentifier(const std::optional<std::string>& identifier) {
    recordInternal("com.blackbox.user-id", identifier);
}
void Blackbox::setUserName(const std::optional<std::string>& name) { recordInternal("com.blackbox.user-name", name); }
void Blackbox::setUserEmail(const std::optional<std::string>& email) { recordInternal("com.blackbox.user-email", email); }
void Blackbox::setDevelopmentPlatformName(const std::optional<std::string>& name) {
    recordInternal("com.blackbox.development-platform-name", name);
}
void Blackbox::setDevelopmentPlatformVersion(const std::optional<std::string>& version) {
    recordInternal("com.blackbox.development-platform-version", version);
}

std::optional<std::string> Blackbox::developmentPlatformName() const {
    log("[Blackbox] developmentPlatformName is write-only");
    return std::nullopt;
}

std::optional<std::string> Blackbox::developmentPlatformVersion() const {
    log("[Blackbox] developmentPlatformVersion is write-only");
    return std::nullopt;
}

void Blackbox::setObjectValue(const PlistValue& value, const std::optional<std::string>& key) {
    BBXUserLoggingRecordUserKeyValue(key, value);
}
void Blackbox::setIntValue(int value, const std::optional<std::string>& key) {
    setObjectValue(PlistValue(static_cast<int64_t>(value)), key);
}
void Blackbox::setBoolValue(bool value, const std::optional<std::string>& key) { setObjectValue(PlistValue(value), key); }
void Blackbox::setFloatValue(float value, const std::optional<std::string>& key) {
    setObjectValue(PlistValue(static_cast<double>(value)), key);
}

void Blackbox::recordError(const foundation::Error& error, const std::optional<Dictionary>& additionalUserInfo) {
    BBXUserLoggingRecordError(&error, additionalUserInfo ? &*additionalUserInfo : nullptr);
}

void Blackbox::recordCustomExceptionName(const std::string& name, const std::string& reason,
                                         const std::vector<std::shared_ptr<BBXStackFrame>>& frameArray) {
    std::vector<uintptr_t> frames;
    frames.reserve(frameArray.size());
    for (const auto& frame : frameArray)
        if (frame) frames.push_back(static_cast<uintptr_t>(frame->address()));
    BBXExceptionRecord(BBXExceptionTypeCustom, name, reason, frames.data(), frames.size(), false);
}

void Blackbox::logEvent(const std::optional<std::string>& name) { Tally::logCustomEventWithName(name, std::nullopt); }

void Blackbox::logEvent(const std::optional<std::string>& name, const std::optional<Dictionary>& attributes) {
    Tally::logCustomEventWithName(name, attributes);
}

// MARK: - Web views

const char* Blackbox::webViewLoadHook() { return kLoadHook; }
const char* Blackbox::webViewErrorHook() { return kErrorHook; }
std::string Blackbox::webViewUserScriptSource() { return foundation::format("%s%s", kLoadHook, kErrorHook); }

void Blackbox::setUserScriptClass(BBXUserScriptClass scriptClass) {
    std::lock_guard lock(userScriptClassMutex());
    userScriptClass() = std::move(scriptClass);
}

void Blackbox::monitorErrorsForWKWebViewConfiguration(BBXWebViewConfiguration& configuration) {
    configuration.userContentController.scriptMessageHandlers[kScriptMessageHandlerName] = this;
    BBXUserScriptClass scriptClass;
    {
        std::lock_guard lock(userScriptClassMutex());
        scriptClass = userScriptClass();
    }
    std::optional<BBXUserScript> script;
    if (scriptClass) script = scriptClass(webViewUserScriptSource(), BBXUserScript::kInjectionTimeAtDocumentEnd, true);
    if (!script) {
        log(foundation::format("[Blackbox] Unable to monitor %@", configuration.description));
        return;
    }
    configuration.userContentController.userScripts.push_back(std::move(*script));
}

void Blackbox::userContentControllerDidReceiveScriptMessage(const BBXScriptMessage& message) {
    if (!message.body.asDictionary()) {
        log("[Blackbox] Unable to record exception from WKWebView");
        return;
    }
    const PlistValue* text = message.body.get("msg");
    std::string reason = text ? text->stringValue().value_or(text->description()) : std::string();
    BBXExceptionRecord(BBXExceptionTypeJavaScript, "exception", reason, nullptr, 0, false);
}

// MARK: - Test operations

void Blackbox::crash() { __builtin_trap(); }

void Blackbox::throwException() { BBXExceptionRaiseTestObjC(); }

// MARK: - The controllers' questions

std::shared_ptr<BBXSettings> Blackbox::newSettings() const {
    return std::make_shared<BBXSettings>(Beacon::sharedSDK()->settings());
}

std::optional<std::string> Blackbox::APIKeyForCrashReportingController(BBXCrashReportingController&) { return APIKey(); }
std::optional<std::string> Blackbox::installIDForCrashReportingController(BBXCrashReportingController&) {
    return installID();
}
bool Blackbox::isFirstInstallForCrashReportingController(BBXCrashReportingController&) { return isFirstInstall(); }
std::shared_ptr<BBXSettings> Blackbox::settingsForCrashReportingController(BBXCrashReportingController&) {
    return newSettings();
}

bool Blackbox::shouldInstallCrashCallback() {
    auto delegate = this->delegate();
    return delegate && delegate->implements(BlackboxDelegate::DidDetectCrash);
}

void Blackbox::detectedCrash() {
    // Inside the crash handler: no lock, no allocation here.
    if (crashCallbackDelegate_) crashCallbackDelegate_->blackboxDidDetectCrash(*this);
}

bool Blackbox::reportingControllerCanUseBackgroundSessions(BBXCrashReportingController&) {
    auto delegate = this->delegate();
    if (delegate && delegate->implements(BlackboxDelegate::CanUseBackgroundSessions))
        return delegate->blackboxCanUseBackgroundSessions(*this);
    return !BBXApplicationIsAnExtension();
}

bool Blackbox::reportingControllerMustInformDelegateOfReports(BBXCrashReportingController&) {
    auto delegate = this->delegate();
    return delegate &&
           (delegate->implements(BlackboxDelegate::DidDetectReportForLastExecution) || delegateRespondsToLegacyMethods());
}

void Blackbox::reportingControllerDidDetectReportForLastExecution(BBXCrashReportingController& controller,
                                                                  const std::shared_ptr<BBXInternalReport>& report,
                                                                  std::function<void(bool submit)> completion) {
    if (!reportingControllerMustInformDelegateOfReports(controller)) {
        completion(true);
        return;
    }
    auto wrapped = std::make_shared<BBXReport>(report);
    auto delegate = this->delegate();
    if (delegate && delegate->implements(BlackboxDelegate::DidDetectReportForLastExecution))
        delegate->blackboxDidDetectReportForLastExecution(wrapped, std::move(completion));
    else
        completion(true);
    dispatch::Queue::main()->async([self = shared_from_this(), delegate, wrapped] {
        if (!delegate) return;
        if (delegate->implements(BlackboxDelegate::DidDetectCrashDuringPreviousExecutionWithReport))
            delegate->blackboxDidDetectCrashDuringPreviousExecution(*self, wrapped);
        if (delegate->implements(BlackboxDelegate::DidDetectCrashDuringPreviousExecution))
            delegate->blackboxDidDetectCrashDuringPreviousExecution(*self);
    });
}

void Blackbox::reportingControllerInternalDidDetectReportForLastExecution(
    BBXCrashReportingController&, const std::shared_ptr<BBXInternalReport>& report) {
    auto wrapped = std::make_shared<BBXReport>(report);
    if (!wrapped->isCrash()) return;
    std::optional<foundation::Date> date = wrapped->dateCreated();
    dispatch::Queue::main()->async([date] { Tally::logPreviousSessionCrashedOnDate(date); });
}

bool Blackbox::reportingControllerEnsureDeliveryOfUnixSignal(BBXCrashReportingController&, int signal) {
    auto delegate = this->delegate();
    if (delegate && delegate->implements(BlackboxDelegate::EnsureDeliveryOfUnixSignal))
        return delegate->blackboxEnsureDeliveryOfUnixSignal(*this, signal);
    return false;
}

std::optional<std::string> Blackbox::APIKeyForBetaController(BBXBetaController&) { return APIKey(); }
std::shared_ptr<BBXSettings> Blackbox::settingsForBetaController(BBXBetaController&) { return newSettings(); }
