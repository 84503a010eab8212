#include "Data.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace foundation {

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

Error posixError(const std::string& what, const std::filesystem::path& path, int err) {
    Error error("NSPOSIXErrorDomain", err, what + ": " + std::strerror(err));
    error.userInfo["NSFilePath"] = path.string();
    return error;
}

bool writeAll(int fd, const uint8_t* bytes, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, bytes, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

Data::Data(std::string bytes) {
    if (!bytes.empty()) bytes_ = std::make_shared<std::string>(std::move(bytes));
}

Data::Data(const void* bytes, size_t length) {
    append(bytes, length);
}

std::shared_ptr<const std::string> Data::sharedString() const {
    static const auto kEmpty = std::make_shared<const std::string>();
    if (!bytes_) return kEmpty;
    return bytes_;
}

std::string& Data::mutableBytes() {
    if (!bytes_) bytes_ = std::make_shared<std::string>();
    else if (bytes_.use_count() > 1) bytes_ = std::make_shared<std::string>(*bytes_);
    return *bytes_;
}

void Data::append(const void* bytes, size_t length) {
    if (length == 0) return;
    mutableBytes().append(static_cast<const char*>(bytes), length);
}

void Data::reserve(size_t length) {
    if (length > this->length()) mutableBytes().reserve(length);
}

void Data::truncate(size_t length) {
    if (length < this->length()) mutableBytes().resize(length);
}

namespace {

// Opens a regular file for reading and checks its size: a FIFO or a device
// named as a file never holds the reader.
Result<int> openRegularFile(const std::filesystem::path& path, size_t maxLength) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return posixError("cannot open file", path, errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        int err = errno ? errno : EINVAL;
        ::close(fd);
        return posixError("not a regular file", path, S_ISREG(st.st_mode) ? err : EINVAL);
    }
    if (static_cast<uint64_t>(st.st_size) > maxLength) {
        ::close(fd);
        return posixError("file too large", path, EFBIG);
    }
    return fd;
}

// Reads the open file in pieces, handing each to take, refusing more than
// maxLength bytes in all. Closes the file.
Result<void> readPieces(int fd, const std::filesystem::path& path, size_t maxLength,
                        const std::function<bool(const uint8_t*, size_t)>& take, const char* takeFailure) {
    uint8_t buffer[65536];
    size_t total = 0;
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            return posixError("cannot read file", path, err);
        }
        if (n == 0) break;
        total += static_cast<size_t>(n);
        if (total > maxLength) {
            ::close(fd);
            return posixError("file too large", path, EFBIG);
        }
        if (!take(buffer, static_cast<size_t>(n))) {
            int err = errno ? errno : EIO;
            ::close(fd);
            return posixError(takeFailure, path, err);
        }
    }
    ::close(fd);
    return {};
}

// Writes through a temporary file in the same folder and a rename: fill
// writes the content into the open temporary file.
Result<void> writeReplacing(const std::filesystem::path& path, unsigned mode,
                            const std::function<Result<void>(int fd)>& fill) {
    std::filesystem::path folder = path.parent_path();
    if (folder.empty()) folder = ".";
    std::string pattern = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
    int fd = ::mkstemp(pattern.data());
    if (fd < 0) return posixError("cannot create temporary file", path, errno);
    auto fail = [&](const char* what) {
        int err = errno;
        ::close(fd);
        ::unlink(pattern.c_str());
        return posixError(what, path, err);
    };
    if (::fchmod(fd, mode) != 0) return fail("cannot set file mode");
    if (auto filled = fill(fd); !filled) {
        ::close(fd);
        ::unlink(pattern.c_str());
        return filled.error();
    }
    if (::fsync(fd) != 0) return fail("cannot flush file");
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(pattern.c_str());
        return posixError("cannot close file", path, err);
    }
    if (::rename(pattern.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(pattern.c_str());
        return posixError("cannot replace file", path, err);
    }
    // Make the rename itself durable; failure here leaves a correct file behind.
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return {};
}

}  // namespace

Result<Data> Data::contentsOfFile(const std::filesystem::path& path, size_t maxLength) {
    auto fd = openRegularFile(path, maxLength);
    if (!fd) return fd.error();
    struct stat st {};
    ::fstat(fd.value(), &st);
    std::string bytes;
    bytes.reserve(static_cast<size_t>(st.st_size));
    auto read = readPieces(fd.value(), path, maxLength, [&](const uint8_t* piece, size_t length) {
        bytes.append(reinterpret_cast<const char*>(piece), length);
        return true;
    }, "cannot read file");
    if (!read) return read.error();
    return Data(std::move(bytes));
}

Result<void> Data::writeToFile(const std::filesystem::path& path, unsigned mode) const {
    return writeReplacing(path, mode, [&](int fd) -> Result<void> {
        if (!writeAll(fd, bytes(), length())) return posixError("cannot write file", path, errno);
        return {};
    });
}

Result<void> Data::copyFile(const std::filesystem::path& from, const std::filesystem::path& to, size_t maxLength,
                            unsigned mode) {
    auto fd = openRegularFile(from, maxLength);
    if (!fd) return fd.error();
    bool began = false;  // the copy closes the source once it began
    auto copied = writeReplacing(to, mode, [&](int out) {
        began = true;
        return readPieces(fd.value(), from, maxLength,
                          [out](const uint8_t* piece, size_t length) { return writeAll(out, piece, length); },
                          "cannot write file");
    });
    if (!began) ::close(fd.value());
    return copied;
}

std::string Data::base64Encoded() const {
    const uint8_t* p = bytes();
    const size_t size = length();
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < size; i += 3) {
        uint32_t v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
        out += kBase64[(v >> 18) & 63];
        out += kBase64[(v >> 12) & 63];
        out += kBase64[(v >> 6) & 63];
        out += kBase64[v & 63];
    }
    if (i < size) {
        uint32_t v = p[i] << 16;
        if (i + 1 < size) v |= p[i + 1] << 8;
        out += kBase64[(v >> 18) & 63];
        out += kBase64[(v >> 12) & 63];
        out += i + 1 < size ? kBase64[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<Data> Data::fromBase64(std::string_view text) {
    std::string out;
    out.reserve(text.size() / 4 * 3);
    uint32_t accumulator = 0;
    int bits = 0;
    int padding = 0;
    for (char ch : text) {
        int value;
        if (ch >= 'A' && ch <= 'Z') value = ch - 'A';
        else if (ch >= 'a' && ch <= 'z') value = ch - 'a' + 26;
        else if (ch >= '0' && ch <= '9') value = ch - '0' + 52;
        else if (ch == '+') value = 62;
        else if (ch == '/') value = 63;
        else if (ch == '=') {
            ++padding;
            continue;
        } else if (ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r') continue;
        else return std::nullopt;
        if (padding > 0) return std::nullopt;  // data after the padding
        accumulator = (accumulator << 6) | static_cast<uint32_t>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((accumulator >> bits) & 0xFF));
        }
    }
    if (padding > 2) return std::nullopt;
    return Data(std::move(out));
}

std::string Data::description() const {
    static const char kHex[] = "0123456789abcdef";
    std::string out = "<";
    const uint8_t* p = bytes();
    for (size_t i = 0; i < length(); ++i) {
        if (i > 0 && i % 4 == 0) out += ' ';
        out += kHex[p[i] >> 4];
        out += kHex[p[i] & 15];
    }
    return out + ">";
}

}  // namespace foundation
