#pragma once
// Where the kits write a body they build (a multipart request, a report):
// opened once, written in pieces, closed once. One thread at a time.

#include <cstddef>
#include <cstdint>

class BCNOutputStream {
public:
    virtual ~BCNOutputStream() = default;

    virtual void open() = 0;
    // Writes up to length bytes; answers how many it took (fewer on a short
    // write), or -1 when it took nothing because of an error.
    virtual long write(const uint8_t* bytes, size_t length) = 0;
    virtual void close() = 0;
    // A hint that about this many more bytes will follow, so a stream in
    // memory can make room once instead of growing (and copying) as they come.
    virtual void reserve(size_t /*additional*/) {}
};
