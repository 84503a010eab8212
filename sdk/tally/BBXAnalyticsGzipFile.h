#pragma once
// Packs one event log into the gzip format (a gzip wrapper around a deflate
// stream): the log is read 5120 bytes at a time and deflated into 5120-byte
// buffers, each written out as it fills. zlib is linked directly; the stream
// is set up with the library default level, a 32 KB window with the gzip
// wrapper and memory level 4.
//
// Answers 0 when the whole source went into a finished gzip stream on the
// destination, -1 on any failure (a read error, a short or failed write,
// input deflate did not take, a stream that did not finish).

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>

// Reads up to length bytes: the count, 0 at the end, -1 on an error.
using BBXAnalyticsGzipReader = std::function<ssize_t(void* bytes, size_t length)>;
// Writes length bytes: the count written (short counts fail), -1 on an error.
using BBXAnalyticsGzipWriter = std::function<ssize_t(const void* bytes, size_t length)>;

// From one open file to another.
int BBXAnalyticsGzipFile(int sourceFd, int destinationFd);
// The next sourceLength bytes of one open file (fewer if it ends first) to another.
int BBXAnalyticsGzipFile(int sourceFd, int destinationFd, uint64_t sourceLength);
int BBXAnalyticsGzipFile(const BBXAnalyticsGzipReader& source, const BBXAnalyticsGzipWriter& destination);
