#include "Data.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
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

Data::Data(const void* bytes, size_t length) {
    append(bytes, length);
}

void Data::append(const void* bytes, size_t length) {
    if (length == 0) return;
    const auto* p = static_cast<const uint8_t*>(bytes);
    bytes_.insert(bytes_.end(), p, p + length);
}

Result<Data> Data::contentsOfFile(const std::filesystem::path& path, size_t maxLength) {
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
    std::vector<uint8_t> bytes;
    bytes.reserve(static_cast<size_t>(st.st_size));
    uint8_t buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            return posixError("cannot read file", path, err);
        }
        if (n == 0) break;
        if (bytes.size() + static_cast<size_t>(n) > maxLength) {
            ::close(fd);
            return posixError("file too large", path, EFBIG);
        }
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    ::close(fd);
    return Data(std::move(bytes));
}

Result<void> Data::writeToFile(const std::filesystem::path& path, unsigned mode) const {
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
    if (!writeAll(fd, bytes_.data(), bytes_.size())) return fail("cannot write file");
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

std::string Data::base64Encoded() const {
    std::string out;
    out.reserve((bytes_.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes_.size(); i += 3) {
        uint32_t v = (bytes_[i] << 16) | (bytes_[i + 1] << 8) | bytes_[i + 2];
        out += kBase64[(v >> 18) & 63];
        out += kBase64[(v >> 12) & 63];
        out += kBase64[(v >> 6) & 63];
        out += kBase64[v & 63];
    }
    if (i < bytes_.size()) {
        uint32_t v = bytes_[i] << 16;
        if (i + 1 < bytes_.size()) v |= bytes_[i + 1] << 8;
        out += kBase64[(v >> 18) & 63];
        out += kBase64[(v >> 12) & 63];
        out += i + 1 < bytes_.size() ? kBase64[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<Data> Data::fromBase64(std::string_view text) {
    std::vector<uint8_t> out;
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
            out.push_back(static_cast<uint8_t>((accumulator >> bits) & 0xFF));
        }
    }
    if (padding > 2) return std::nullopt;
    return Data(std::move(out));
}

std::string Data::description() const {
    static const char kHex[] = "0123456789abcdef";
    std::string out = "<";
    for (size_t i = 0; i < bytes_.size(); ++i) {
        if (i > 0 && i % 4 == 0) out += ' ';
        out += kHex[bytes_[i] >> 4];
        out += kHex[bytes_[i] & 15];
    }
    return out + ">";
}

}  // namespace foundation
