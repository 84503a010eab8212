#pragma once
// Record files: every file the capture core writes into a report folder is a
// sequence of sections, one per line, each one JSON object with a single key
// ({"signal":{...}}). Keys and plain strings are written as they are, with no
// escaping; free text goes hex-encoded ("abc" as "616263") so it cannot break
// its line. No whitespace.
//
// The unbuffered writer uses only open, write, close and fstat and allocates
// nothing, so it runs inside a signal handler. A buffered file (1000 bytes,
// allocated at open) is for the many small writes made outside a crash. A
// BBXFile belongs to one writer at a time.
//
// Reading (BBXFileReadSections) happens at the next launch, off the crash path.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>
#include <sys/types.h>

#include "platform/foundation/PlistValue.h"

inline constexpr size_t kBBXFileBufferSize = 1000;

struct BBXFile {
    int32_t fd = -1;
    int32_t depth = 0;
    uint8_t needsComma = 0;
    uint8_t buffered = 0;
    char* buffer = nullptr;
    size_t bufferCount = 0;
    uint64_t writtenCount = 0;
    // Set only while BBXFileWriteWholeSections composes: pieces gather here.
    std::string* composing = nullptr;
};

// Opens path write-only, created with mode 0644, appending (append) or
// truncated; a buffered file gets its buffer here. In append mode the file's
// size becomes the written count. False with a line in "sdk.log" on failure.
bool BBXFileInitWithPathMode(BBXFile* file, const char* path, bool append, bool buffered);
bool BBXFileInit(BBXFile* file, const char* path, bool buffered);
// Flushes, frees the buffer, gives the written count, closes and clears.
bool BBXFileCloseWithOffset(BBXFile* file, uint64_t* written);
bool BBXFileClose(BBXFile* file);
bool BBXFileIsOpen(const BBXFile* file);
void BBXFileFlush(BBXFile* file);
// Crash path: takes the file back to an earlier written count (taken right
// after a flush) and the structure state of then; all written since is cut
// off. False when the file could not be cut.
bool BBXFileTruncate(BBXFile* file, uint64_t writtenCount, int32_t depth, uint8_t needsComma);

// Outside a crash: the sections write puts into file are composed in memory
// and then go out in one write(2) of whole lines (a short write, as on a full
// disk, goes on from where it stopped). A process ending while a thread is in
// here (another thread crashed) so leaves all of those lines or none, never
// one cut short that would cost the record it held, once the crash path has
// settled the writes under way (BBXFileSettleWholeWrites). False when the file is
// closed or the lines could not all be written.
bool BBXFileWriteWholeSections(BBXFile* file, const std::function<void(BBXFile*)>& write);
// Crash path, once recording is done and just before the process ends: the
// kernel stops a write(2) under way at a page boundary of the file when the
// process is killed, so even one write can leave a line cut short. Waits (at
// most timeoutNanoseconds) until no thread but this one and the crashed one
// (stopped where it faulted, perhaps inside such a write) is inside a
// whole-sections write, and from now on such writes write nothing and answer
// false. False when the time ran out. Async-signal-safe.
bool BBXFileSettleWholeWrites(pid_t crashedThread, uint64_t timeoutNanoseconds);
// Tests: whole-sections writes go out again after a settle.
void BBXFileReopenWholeWritesForTesting();

// Structure. A section starts on a fresh line at depth 0, whatever an
// interrupted writer left open before it.
void BBXFileOpenSection(BBXFile* file, const char* key);
void BBXFileCloseSection(BBXFile* file);
void BBXFileBeginObject(BBXFile* file);
void BBXFileEndObject(BBXFile* file);
void BBXFileBeginArray(BBXFile* file);
void BBXFileEndArray(BBXFile* file);
void BBXFileWriteKey(BBXFile* file, const char* key);

// Object members: the key, then the value.
void BBXFileWriteUnsignedEntry(BBXFile* file, const char* key, uint64_t value);
void BBXFileWriteSignedEntry(BBXFile* file, const char* key, int64_t value);
void BBXFileWriteStringEntry(BBXFile* file, const char* key, const char* value);  // null when missing
void BBXFileWriteNSStringEntry(BBXFile* file, const char* key, const std::optional<std::string>& value);
void BBXFileWriteNSStringEntryIfNotEmpty(BBXFile* file, const char* key, const std::optional<std::string>& value);
void BBXFileWriteHexEntry(BBXFile* file, const char* key, const char* value);  // null when missing
void BBXFileWriteBoolEntry(BBXFile* file, const char* key, bool value);

// Array elements.
void BBXFileWriteUnsignedElement(BBXFile* file, uint64_t value);
void BBXFileWriteStringElement(BBXFile* file, const char* value);
void BBXFileWriteHexElement(BBXFile* file, const char* value);

// The sections of a record file, in file order: the file is split at "\n" and
// each line parsed on its own, so a line that does not parse (cut short,
// invalid UTF-8, empty) costs only itself. A transform may replace each
// section, or drop it by answering nullopt. Nullopt when the file cannot be
// read; with deleteOnFailure the file is then removed.
using BBXSectionTransform = std::function<std::optional<foundation::PlistValue>(const foundation::PlistValue&)>;
std::optional<std::vector<foundation::PlistValue>> BBXFileReadSections(const char* path, bool deleteOnFailure,
                                                                      const BBXSectionTransform& transform = {});

// The hex encoding of a C string's bytes; empty for null.
std::string BBXHexEncodeCString(const char* cString);

// Tests: every write of a record file goes through this function (write(2)
// unless replaced); null restores write(2).
using BBXFileWriteFunction = ssize_t (*)(int fd, const void* bytes, size_t count);
void BBXFileSetWriteFunction(BBXFileWriteFunction function);
