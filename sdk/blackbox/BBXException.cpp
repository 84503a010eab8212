#include "sdk/blackbox/BBXException.h"

#include <cxxabi.h>

#include <cstdlib>
#include <exception>
#include <memory>
#include <typeinfo>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/SystemLog.h"
#include "platform/foundation/UserDefaults.h"
#include "sdk/blackbox/BBXApplicationHooks.h"
#include "sdk/blackbox/BBXFile.h"
#include "sdk/blackbox/BBXHandler.h"
#include "sdk/blackbox/BBXKitException.h"
#include "sdk/blackbox/BBXProcess.h"
#include "sdk/blackbox/BBXSDKLog.h"
#include "sdk/blackbox/BBXUserLogging.h"
#include "sdk/blackbox/BBXUtilities.h"

const char* const kBBXApplicationClassName = "NSApplication";
const char* const kBBXCrashOnExceptionsKey = "NSApplicationCrashOnExceptions";

namespace {

std::string demangle(const char* mangled) {
    if (!mangled) return {};
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> text(abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    return status == 0 && text ? std::string(text.get()) : std::string(mangled);
}

void reportExceptionHook(void* application, const BBXKitException& exception) {
    BBXExceptionRecordKitException(exception);
    const BBXReadOnlyContext* readOnly = BBXContextGetReadOnly();
    auto replaced = readOnly ? reinterpret_cast<BBXReportExceptionFunction>(
                                   readOnly->exceptionStore.replacedReportException)
                             : nullptr;
    if (replaced) replaced(application, exception);
}

bool crashOnExceptions() { return foundation::UserDefaults::standard()->boolForKey(kBBXCrashOnExceptionsKey); }

void writeSection(BBXFile* file, int type, const std::string& name, const std::string& reason,
                  const uintptr_t* frames, size_t frameCount) {
    BBXFileOpenSection(file, "exception");
    BBXFileBeginObject(file);
    BBXFileWriteStringEntry(file, "type", BBXExceptionTypeName(type));
    BBXFileWriteHexEntry(file, "name", name.c_str());
    BBXFileWriteHexEntry(file, "reason", reason.c_str());
    BBXHandlerWriteTimeEntry(file);
    if (frameCount > 0) {
        BBXFileWriteKey(file, "frames");
        BBXFileBeginArray(file);
        for (size_t i = 0; i < frameCount; ++i) {
            // Symbols, libraries and lines are found at the next launch.
            BBXFileBeginObject(file);
            BBXFileWriteUnsignedEntry(file, "pc", frames[i]);
            BBXFileWriteUnsignedEntry(file, "offset", 0);
            BBXFileWriteUnsignedEntry(file, "line", 0);
            BBXFileEndObject(file);
        }
        BBXFileEndArray(file);
    }
    BBXFileEndObject(file);
    BBXFileCloseSection(file);
}

// Classifies the active exception by throwing it again.
void catchAndRecordActiveException(std::type_info* type) {
    static const char* const kFunction = "BBXCatchAndRecordActiveException";
    const char* mangled = type->name();
    BBXSDKLog("%s: Recording exception of type '%s'\n", kFunction, mangled);
    std::string name = demangle(mangled);
    std::string reason;
    try {
        throw;
    } catch (const BBXKitException&) {
        BBXSDKLog("%s: Skipping ObjC exception at this point\n", kFunction);
        return;
    } catch (const char* text) {
        reason = text ? text : "";
    } catch (const std::string& text) {
        reason = text;
    } catch (const std::exception& exception) {
        reason = exception.what();
    } catch (const std::exception* exception) {
        reason = exception ? exception->what() : "";
    } catch (...) {
    }
    BBXExceptionRecord(BBXExceptionTypeCpp, name, reason, nullptr, 0, true);
}

}  // namespace

const char* BBXExceptionTypeName(int type) {
    switch (type) {
    case BBXExceptionTypeObjectiveC: return "objective-c";
    case BBXExceptionTypeCpp: return "c++";
    case BBXExceptionTypeJavaScript: return "javascript";
    case BBXExceptionTypeCustom: return "custom";
    default: return "unknown";
    }
}

void BBXExceptionInitialize(BBXExceptionStore* store, uint32_t* counter) {
    if (!BBXUnlinkIfExists(store->path))
        BBXSDKLog("%s: Unable to reset the exception file %s\n", "BBXExceptionInitialize", store->path);
    store->previousTerminate = std::set_terminate(BBXTerminateHandler);
    if (crashOnExceptions() && BBXApplicationShared(kBBXApplicationClassName)) {
        store->replacedReportException =
            reinterpret_cast<void*>(BBXApplicationReplaceReporter(kBBXApplicationClassName, reportExceptionHook));
    }
    if (counter) *counter = 0;
}

void BBXTerminateHandler() {
    static const char* const kFunction = "BBXTerminateHandler";
    BBXSDKLog("%s: C++ terminate handler invoked\n", kFunction);
    const BBXReadOnlyContext* readOnly = BBXContextGetReadOnly();
    std::terminate_handler previous = readOnly ? readOnly->exceptionStore.previousTerminate : nullptr;
    bool callPrevious = false;
    if (previous == BBXTerminateHandler) {
        BBXSDKLog("%s: Error: original handler was set recursively\n", kFunction);
    } else if (previous) {
        BBXSDKLog("%s: restoring pre-existing handler\n", kFunction);
        if (std::set_terminate(previous) == previous) {
            BBXSDKLog("%s: handler has already been restored, aborting\n", kFunction);
            std::abort();
        }
        callPrevious = true;
    }
    std::type_info* type = abi::__cxa_current_exception_type();
    if (!type) BBXSDKLog("%s: no active exception\n", kFunction);
    else catchAndRecordActiveException(type);
    if (callPrevious) {
        BBXSDKLog("%s: invoking pre-existing handler\n", kFunction);
        previous();
    }
    BBXSDKLog("%s: aborting\n", kFunction);
    std::abort();
}

void BBXExceptionRecordKitException(const BBXKitException& exception) {
    BBXSDKLog("%s: Recording an NSException\n", "BBXExceptionRecordNSException");
    const auto& frames = exception.callStackReturnAddresses();
    BBXExceptionRecord(BBXExceptionTypeObjectiveC, exception.name(), exception.reason(), frames.data(), frames.size(),
                       true);
}

void BBXExceptionRecord(int type, const std::string& name, const std::string& reason, const uintptr_t* frames,
                        size_t frameCount, bool notifyObserver) {
    static const char* const kFunction = "BBXExceptionRecord";
    if (!BBXContextIsInitialized()) return;
    bool processRecord = type == BBXExceptionTypeObjectiveC || type == BBXExceptionTypeCpp;
    BBXSDKLog("%s: Recording an exception structure (%d, %d)\n", kFunction, notifyObserver ? 1 : 0,
              processRecord ? 1 : 0);
    const BBXReadOnlyContext* readOnly = BBXContextGetReadOnly();
    if (processRecord) {
        // On this thread, the one marked crashed, in turn with the queue's
        // other records; everything that allocates is done before BBXHandler
        // stops the other threads.
        auto queue = BBXContextExceptionQueue();
        auto write = [&] {
            BBXFile file;
            if (!BBXFileInitWithPathMode(&file, readOnly->exceptionStore.path, true, false)) {
                BBXSDKLog("%s: Unable to open exception file\n", kFunction);
                return;
            }
            writeSection(&file, type, name, reason, frames, frameCount);
            BBXHandler(&file, BBXThreadSelf(), nullptr);
            BBXFileClose(&file);
            if (notifyObserver) BBXHandlerNotifyObserver();
        };
        if (queue) queue->syncInPlace(write);
        else write();
    } else {
        // Not a crash: one entry of the custom-exception files, in turn with
        // the other user logging, and no process record.
        auto write = [&] {
            BBXUserLoggingWriteAndCheckABFiles(&readOnly->customExceptionStore, [&](BBXFile* file) {
                writeSection(file, type, name, reason, frames, frameCount);
            });
        };
        if (auto queue = BBXContextLoggingQueue()) queue->sync(write);
        else write();
    }
    BBXSDKLog("%s: Finished recording an exception structure\n", kFunction);
}

void BBXExceptionWarnAboutSetup() {
    bool application = BBXApplicationShared(kBBXApplicationClassName) != nullptr;
    bool crashOn = crashOnExceptions();
    if (application && !crashOn)
        foundation::systemLog("[Blackbox:Crash] Warning: NSApplicationCrashOnExceptions is not set. This will result "
                              "in poor top-level uncaught exception reporting.");
    if (BBXContextDebuggerAttachedFlag()) return;
    std::terminate_handler current = std::get_terminate();
    if (current != BBXTerminateHandler) {
        BBXLookupSymbol(reinterpret_cast<const void*>(current), [](const char* symbol, const char* image) {
            foundation::systemLog(std::string("[Blackbox:Crash] Warning: std::get_terminate is '") +
                                  (symbol ? symbol : "(null)") + "' in '" + (image ? image : "(null)") + "'");
        });
    }
    if (application && crashOn && BBXApplicationReporter(kBBXApplicationClassName) != reportExceptionHook)
        foundation::systemLog("[Blackbox:Crash] Warning: top-level NSApplication-reported exceptions cannot be "
                              "intercepted");
}

void BBXExceptionRaiseTestObjC() {
    throw BBXKitException("BlackboxTestException", "This is an Objective-C exception using for testing.");
}

void BBXExceptionThrowTestCpp() { throw "Blackbox C++ Test Exception"; }
