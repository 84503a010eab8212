#pragma once
// Reads back what this process writes to the system's log by other means and
// feeds it into the dispatcher as log messages (context 0, file
// "LKASLLogCapture"). Lines that LKASLLogger sent are skipped, and LKASLLogger
// does not send captured messages again, so the two never feed each other.
//
// Any thread may call. Capture runs on the global queues while the system-log
// reader (foundation::SystemLogReader::current()) reports new entries; without a
// readable log there is nothing to capture and start() leaves capture off.

#include <cstdint>

#include "platform/foundation/SystemLogReader.h"

// The file of every captured message, which LKASLLogger recognises.
constexpr const char* LKASLLogCaptureFileName = "LKASLLogCapture";

class LKASLLogCapture {
public:
    // Begins capturing entries written from now on; nothing when already running.
    static void start();
    // Capture ends after one last look at the log, soon after this returns.
    static void stop();
    // The flags taken in (a mask; all five at start).
    static uint64_t captureLevel();
    static void setCaptureLevel(uint64_t level);

    // Takes in one entry: ignored without a message text or when its flag is
    // not in the capture level; errors are queued synchronously, all else
    // asynchronously. Runs on the caller's thread.
    static void aslMessageReceived(const foundation::SystemLogReader::Entry& entry);
    // The flag a system-log priority maps to: 0-2 error, 3 warning, 4 info,
    // 5 debug, anything else verbose.
    static uint64_t flagForPriority(int priority);
};
