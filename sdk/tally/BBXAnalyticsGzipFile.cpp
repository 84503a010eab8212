#include "sdk/tally/BBXAnalyticsGzipFile.h"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace {

constexpr size_t kChunk = 5120;

// Fills the buffer unless the source ends first, so that a short count means
// the end: a file read in 5120-byte steps takes exactly the reads it needs.
ssize_t readChunk(const BBXAnalyticsGzipReader& source, uint8_t* buffer, bool& atEnd) {
    size_t filled = 0;
    atEnd = false;
    while (filled < kChunk) {
        ssize_t n = source(buffer + filled, kChunk - filled);
        if (n < 0) return -1;
        if (n == 0) {
            atEnd = true;
            break;
        }
        filled += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(filled);
}

}  // namespace

int BBXAnalyticsGzipFile(int sourceFd, int destinationFd) {
    return BBXAnalyticsGzipFile(sourceFd, destinationFd, UINT64_MAX);
}

int BBXAnalyticsGzipFile(int sourceFd, int destinationFd, uint64_t sourceLength) {
    uint64_t left = sourceLength;
    return BBXAnalyticsGzipFile(
        [sourceFd, &left](void* bytes, size_t length) -> ssize_t {
            length = static_cast<size_t>(std::min<uint64_t>(length, left));
            if (length == 0) return 0;
            for (;;) {
                ssize_t n = ::read(sourceFd, bytes, length);
                if (n < 0 && errno == EINTR) continue;
                if (n > 0) left -= static_cast<uint64_t>(n);
                return n;
            }
        },
        [destinationFd](const void* bytes, size_t length) -> ssize_t {
            size_t done = 0;
            while (done < length) {
                ssize_t n = ::write(destinationFd, static_cast<const uint8_t*>(bytes) + done, length - done);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
                done += static_cast<size_t>(n);
            }
            return static_cast<ssize_t>(done);
        });
}

int BBXAnalyticsGzipFile(const BBXAnalyticsGzipReader& source, const BBXAnalyticsGzipWriter& destination) {
    z_stream stream{};
    // The version text and record size the stream was written against; the
    // library checks them for compatibility only.
    if (deflateInit2_(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 4, Z_DEFAULT_STRATEGY, "1.2.5",
                      static_cast<int>(sizeof(z_stream))) != Z_OK)
        return -1;
    uint8_t input[kChunk];
    uint8_t output[kChunk];
    int result = Z_OK;
    bool atEnd = false;
    while (!atEnd) {
        ssize_t got = readChunk(source, input, atEnd);
        if (got < 0) {
            deflateEnd(&stream);
            return -1;
        }
        int flush = atEnd ? Z_FINISH : Z_NO_FLUSH;
        stream.next_in = input;
        stream.avail_in = static_cast<uInt>(got);
        do {
            stream.next_out = output;
            stream.avail_out = kChunk;
            result = deflate(&stream, flush);
            // Z_BUF_ERROR only says this call could make no progress (the
            // previous one filled its buffer exactly): not a failure.
            if (result == Z_STREAM_ERROR) {
                deflateEnd(&stream);
                return -1;
            }
            size_t produced = kChunk - stream.avail_out;
            if (produced > 0 && destination(output, produced) != static_cast<ssize_t>(produced)) {
                deflateEnd(&stream);
                return -1;
            }
        } while (stream.avail_out == 0);
        if (stream.avail_in != 0) {
            deflateEnd(&stream);
            return -1;
        }
    }
    deflateEnd(&stream);
    return result == Z_STREAM_END ? 0 : -1;
}
