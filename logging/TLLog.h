#pragma once
// The application's log calls. Every line carries level 31, one flag and one of
// the application's contexts; errors are written before the caller goes on, all
// else is queued.
//
//   TLLogInfo(TLLogContextPasteboard, "Saved clipping %@", clippingID);

#include <string>

#include "LKLog.h"

enum TLLogContext : int64_t {
    TLLogContextSync = 101,
    TLLogContextPasteboard = 102,
    TLLogContextGeneral = 104,
};

constexpr uint64_t TLLogLevel = 31;

// "void TLPasteboardManager::checkPasteboard()" -> "TLPasteboardManager::checkPasteboard":
// the class and member, without return type and parameters.
std::string TLCompactFunctionName(const char* prettyFunction);

#define TL_LOG_CALL(asynchronous, flag, context, format, ...)                                                 \
    do {                                                                                                     \
        static const std::string tlLogFunction_ = TLCompactFunctionName(__PRETTY_FUNCTION__);                \
        LKLog::log(asynchronous, TLLogLevel, flag, context, __FILE__, tlLogFunction_.c_str(), __LINE__, nullptr, \
                   format __VA_OPT__(, ) __VA_ARGS__);                                                       \
    } while (0)

#define TLLogError(context, format, ...) TL_LOG_CALL(false, LKLogFlagError, context, format __VA_OPT__(, ) __VA_ARGS__)
#define TLLogWarning(context, format, ...) TL_LOG_CALL(true, LKLogFlagWarning, context, format __VA_OPT__(, ) __VA_ARGS__)
#define TLLogInfo(context, format, ...) TL_LOG_CALL(true, LKLogFlagInfo, context, format __VA_OPT__(, ) __VA_ARGS__)
#define TLLogDebug(context, format, ...) TL_LOG_CALL(true, LKLogFlagDebug, context, format __VA_OPT__(, ) __VA_ARGS__)
