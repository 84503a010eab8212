#pragma once
// An output stream that keeps what is written in memory.

#include "platform/foundation/Data.h"
#include "sdk/beacon/BCNOutputStream.h"

class BCNMemoryOutputStream : public BCNOutputStream {
public:
    void open() override {}
    long write(const uint8_t* bytes, size_t length) override;
    void close() override {}
    void reserve(size_t additional) override { data_.reserve(data_.length() + additional); }

    // Everything written so far.
    const foundation::Data& data() const { return data_; }
    foundation::Data takeData() { return std::move(data_); }

private:
    foundation::Data data_;
};
