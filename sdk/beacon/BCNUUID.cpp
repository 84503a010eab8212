#include "sdk/beacon/BCNUUID.h"

#include <openssl/rand.h>
#include <pthread.h>
#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "sdk/beacon/BCNHex.h"

namespace {

constexpr size_t kUUIDLength = 16;

// Fills the buffer from the kernel's generator, falling back to OpenSSL's.
// Either is a cryptographic source: the UUIDs name installs and sessions and
// must not repeat across machines.
void fillRandom(uint8_t* out, size_t length) {
    size_t filled = 0;
    while (filled < length) {
        ssize_t got = ::getrandom(out + filled, length - filled, 0);
        if (got > 0) {
            filled += static_cast<size_t>(got);
        } else if (got < 0 && errno != EINTR) {
            break;
        }
    }
    if (filled < length) RAND_bytes(out + filled, static_cast<int>(length - filled));
}

// UUIDs are made often (one per analytics event): each thread draws their
// bytes from a small pool it fills from the same generator, one system call
// per kPoolUUIDs UUIDs. A forked child never uses bytes its parent drew: the
// fork makes every pool stale.
constexpr size_t kPoolUUIDs = 32;
std::atomic<uint64_t> gForks{0};

void takeRandomUUIDBytes(uint8_t* out) {
    static const bool registered = [] {
        ::pthread_atfork(nullptr, nullptr, [] { gForks.fetch_add(1, std::memory_order_relaxed); });
        return true;
    }();
    (void)registered;
    struct Pool {
        uint8_t bytes[kPoolUUIDs * kUUIDLength];
        size_t used = sizeof bytes;
        uint64_t forks = 0;
    };
    thread_local Pool pool;
    uint64_t forks = gForks.load(std::memory_order_relaxed);
    if (pool.used == sizeof pool.bytes || pool.forks != forks) {
        fillRandom(pool.bytes, sizeof pool.bytes);
        pool.used = 0;
        pool.forks = forks;
    }
    std::memcpy(out, pool.bytes + pool.used, kUUIDLength);
    std::memset(pool.bytes + pool.used, 0, kUUIDLength);  // used bytes do not stay behind
    pool.used += kUUIDLength;
}

}  // namespace

std::string BCNCreateUUIDString() {
    uint8_t bytes[kUUIDLength];
    takeRandomUUIDBytes(bytes);
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0f) | 0x40);  // version 4
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant

    static constexpr char kUpper[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (size_t i = 0; i < kUUIDLength; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
        text.push_back(kUpper[bytes[i] >> 4]);
        text.push_back(kUpper[bytes[i] & 0x0f]);
    }
    return text;
}

std::string BCNUUIDHexStringFromBytes(const uint8_t* bytes) {
    if (!bytes) return {};
    return BCNHexStringFromBytes(bytes, kUUIDLength);
}
