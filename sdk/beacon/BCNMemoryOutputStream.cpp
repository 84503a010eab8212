#include "sdk/beacon/BCNMemoryOutputStream.h"

long BCNMemoryOutputStream::write(const uint8_t* bytes, size_t length) {
    data_.append(bytes, length);
    return static_cast<long>(length);
}
