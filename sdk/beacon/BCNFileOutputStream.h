#pragma once
// An output stream into a file, created (or emptied) with mode 0600 at open:
// what the kits write may identify the user. A file that cannot be opened
// takes no bytes.

#include <filesystem>

#include "sdk/beacon/BCNOutputStream.h"

class BCNFileOutputStream : public BCNOutputStream {
public:
    explicit BCNFileOutputStream(std::filesystem::path path) : path_(std::move(path)) {}
    ~BCNFileOutputStream() override { close(); }
    BCNFileOutputStream(const BCNFileOutputStream&) = delete;
    BCNFileOutputStream& operator=(const BCNFileOutputStream&) = delete;

    void open() override;
    long write(const uint8_t* bytes, size_t length) override;
    // Flushes the file to disk and closes it.
    void close() override;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
    int fd_ = -1;
};
