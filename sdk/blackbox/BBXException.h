#pragma once
// Exceptions as crashes: the C++ terminate handler records the exception that
// ends the process; the application's exception reporter, replaced by a hook,
// records a kit exception that escaped an event handler. Either writes
// "exception.bbxrecord" and the process state (BBXHandler) on the thread it
// happened on, in turn with any other such record (the exception queue).
// Custom and script exceptions, which do not end the process, go to the
// custom-exception files without a process record.

#include <cstddef>
#include <cstdint>
#include <string>

#include "sdk/blackbox/BBXContext.h"

class BBXKitException;

using BBXExceptionStore = BBXReadOnlyContext::BBXExceptionStore;

enum BBXExceptionType : int {
    BBXExceptionTypeObjectiveC = 1,  // a kit exception the application reported
    BBXExceptionTypeCpp = 2,
    BBXExceptionTypeJavaScript = 3,
    BBXExceptionTypeCustom = 4,
};

// The class name the hook looks up ("NSApplication"), and the settings key
// that allows it ("NSApplicationCrashOnExceptions").
extern const char* const kBBXApplicationClassName;
extern const char* const kBBXCrashOnExceptionsKey;

// "objective-c", "c++", "javascript", "custom"; "unknown" for anything else.
const char* BBXExceptionTypeName(int type);

void BBXExceptionInitialize(BBXExceptionStore* store, uint32_t* counter);
void BBXTerminateHandler();
void BBXExceptionRecordKitException(const BBXKitException& exception);
// frames: return addresses, innermost first (count may be 0).
void BBXExceptionRecord(int type, const std::string& name, const std::string& reason, const uintptr_t* frames,
                        size_t frameCount, bool notifyObserver);
void BBXExceptionWarnAboutSetup();

// The test operations: raise a kit exception "BlackboxTestException", throw
// the C string "Blackbox C++ Test Exception".
[[noreturn]] void BBXExceptionRaiseTestObjC();
[[noreturn]] void BBXExceptionThrowTestCpp();
