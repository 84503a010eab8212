#pragma once
// The application object as the crash kit sees it, found by its class name:
// the shared instance and its exception reporter, a function the kit can
// replace with its own and call on. The application registers itself at
// start; its event dispatch hands exceptions that escaped a handler to
// BBXApplicationReportException.

#include <string>

class BBXKitException;

using BBXReportExceptionFunction = void (*)(void* application, const BBXKitException& exception);

// Registers the shared instance of className with its reporter (replacing
// an earlier registration of that class); a null application unregisters it.
void BBXApplicationRegister(const std::string& className, void* application, BBXReportExceptionFunction reporter);
// The shared instance of className, null when none is registered.
void* BBXApplicationShared(const std::string& className);
// The reporter of className now, null when none is registered.
BBXReportExceptionFunction BBXApplicationReporter(const std::string& className);
// Puts replacement in place of className's reporter; the one replaced (null
// when the class is not registered, and then nothing changes).
BBXReportExceptionFunction BBXApplicationReplaceReporter(const std::string& className,
                                                         BBXReportExceptionFunction replacement);
// Calls the reporter of className with its shared instance; false when none.
bool BBXApplicationReportException(const std::string& className, const BBXKitException& exception);
