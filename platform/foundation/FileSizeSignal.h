#pragma once
// A write past the process's file-size limit (RLIMIT_FSIZE) raises SIGXFSZ,
// whose default action ends the process. Writers of files that may meet the
// limit call this once: unless the program handles the signal itself it is
// ignored, and the write fails with EFBIG, which the writer reports. Any
// thread; the first call decides.

namespace foundation {

void ignoreFileSizeSignalUnlessHandled();

}  // namespace foundation
