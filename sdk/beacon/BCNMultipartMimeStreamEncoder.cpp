#include "sdk/beacon/BCNMultipartMimeStreamEncoder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/foundation/SystemLog.h"
#include "sdk/beacon/BCNData.h"
#include "sdk/beacon/BCNMemoryOutputStream.h"
#include "sdk/beacon/BCNUUID.h"

namespace {
constexpr const char* kCRLF = "\r\n";
}

std::unique_ptr<BCNMultipartMimeStreamEncoder> BCNMultipartMimeStreamEncoder::encoderWithStream(
    std::shared_ptr<BCNOutputStream> stream, const std::optional<std::string>& boundary) {
    return std::make_unique<BCNMultipartMimeStreamEncoder>(std::move(stream), boundary);
}

BCNMultipartMimeStreamEncoder::BCNMultipartMimeStreamEncoder(std::shared_ptr<BCNOutputStream> stream,
                                                             const std::optional<std::string>& boundary)
    : stream_(std::move(stream)), boundary_(boundary ? *boundary : generateBoundary()) {}

bool BCNMultipartMimeStreamEncoder::populateRequest(net::URLRequest& request,
                                                    const std::function<void(BCNMultipartMimeStreamEncoder&)>& body) {
    auto memory = std::make_shared<BCNMemoryOutputStream>();
    BCNMultipartMimeStreamEncoder encoder(memory, generateBoundary());
    encoder.encode([&] { body(encoder); });
    if (encoder.failed()) {
        request.clearBody();
        request.removeValue("Content-Type");
        request.removeValue("Content-Length");
        return false;
    }
    request.setValue("Content-Type", encoder.contentTypeHTTPHeaderValue());
    request.setValue("Content-Length", encoder.contentLengthHTTPHeaderValue());
    request.setHTTPBody(memory->takeData());
    return true;
}

std::string BCNMultipartMimeStreamEncoder::contentTypeHTTPHeaderValueWithBoundary(const std::string& boundary) {
    return "multipart/form-data; boundary=" + boundary;
}

std::string BCNMultipartMimeStreamEncoder::generateBoundary() { return BCNCreateUUIDString(); }

void BCNMultipartMimeStreamEncoder::encode(const std::function<void()>& parts) {
    beginEncoding();
    parts();
    endEncoding();
}

void BCNMultipartMimeStreamEncoder::beginEncoding() {
    length_ = 0;
    failed_ = false;
    stream_->open();
    writeData(headerData());
}

void BCNMultipartMimeStreamEncoder::endEncoding() {
    writeData(footerData());
    stream_->close();
}

foundation::Data BCNMultipartMimeStreamEncoder::headerData() const {
    return foundation::Data::fromString("MIME-Version: 1.0\r\n");
}

foundation::Data BCNMultipartMimeStreamEncoder::footerData() const {
    return foundation::Data::fromString("--" + boundary_ + "--" + kCRLF);
}

std::string BCNMultipartMimeStreamEncoder::contentTypeHTTPHeaderValue() const {
    return contentTypeHTTPHeaderValueWithBoundary(boundary_);
}

std::string BCNMultipartMimeStreamEncoder::contentLengthHTTPHeaderValue() const { return std::to_string(length_); }

std::string BCNMultipartMimeStreamEncoder::escapedName(const std::string& name) {
    std::string escaped;
    escaped.reserve(name.size());
    for (char c : name) {
        if (c == '"') escaped += "%22";
        else if (c == '\r') escaped += "%0D";
        else if (c == '\n') escaped += "%0A";
        else escaped += c;
    }
    return escaped;
}

void BCNMultipartMimeStreamEncoder::addValue(const std::optional<std::string>& value,
                                             const std::optional<std::string>& fieldName) {
    if (!value || !fieldName) return;
    writeText("--" + boundary_ + kCRLF + "Content-Disposition: form-data; name=\"" + escapedName(*fieldName) + "\"" +
              kCRLF + "Content-Type: text/plain" + kCRLF + kCRLF + *value + kCRLF);
}

void BCNMultipartMimeStreamEncoder::addValue(int64_t value, const std::optional<std::string>& fieldName) {
    addValue(std::optional<std::string>(std::to_string(value)), fieldName);
}

std::string BCNMultipartMimeStreamEncoder::filePartHeader(const std::string& fileName,
                                                          const std::optional<std::string>& mimeType,
                                                          const std::string& fieldName) const {
    std::string header = "--" + boundary_ + kCRLF + "Content-Disposition: form-data; name=\"" +
                         escapedName(fieldName) + "\"; filename=\"" + escapedName(fileName) + "\"" + kCRLF;
    if (mimeType)
        header += "Content-Type: " + *mimeType + kCRLF + "Content-Transfer-Encoding: binary" + kCRLF;
    else
        header += std::string("Content-Type: application/octet-stream") + kCRLF;
    header += kCRLF;
    return header;
}

void BCNMultipartMimeStreamEncoder::addFileData(const foundation::Data& data,
                                                const std::optional<std::string>& fileName,
                                                const std::optional<std::string>& mimeType,
                                                const std::optional<std::string>& fieldName) {
    if (!fileName || !fieldName) return;
    std::string header = filePartHeader(*fileName, mimeType, *fieldName);
    // Room for the part and the closing boundary at once: a body in memory
    // then never doubles (and copies) itself after a large part.
    stream_->reserve(header.size() + data.length() + 2 + boundary_.size() + 6);
    writeText(header);
    writeData(data);
    writeText(kCRLF);
}

void BCNMultipartMimeStreamEncoder::addFile(const std::filesystem::path& file,
                                            const std::optional<std::string>& fileName,
                                            const std::optional<std::string>& mimeType,
                                            const std::optional<std::string>& fieldName) {
    if (!fileName || !fieldName) return;
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
        ::close(fd);
        return;
    }
    std::string header = filePartHeader(*fileName, mimeType, *fieldName);
    stream_->reserve(header.size() + static_cast<size_t>(status.st_size) + 2 + boundary_.size() + 6);
    writeText(header);
    // The file goes through in pieces, so a large one is never held whole.
    std::vector<uint8_t> buffer(kFileChunkBytes);
    for (;;) {
        ssize_t count = ::read(fd, buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            // A part cut short must not pass for the whole file.
            failed_ = true;
            foundation::systemLog("[Beacon] Failed to read file for stream");
            break;
        }
        if (count == 0 || !writeBytes(buffer.data(), static_cast<size_t>(count))) break;
    }
    ::close(fd);
    writeText(kCRLF);
}

void BCNMultipartMimeStreamEncoder::writeData(const foundation::Data& data) {
    BCNEnumerateDataByteRanges(data, [&](const uint8_t* bytes, BCNRange range, bool* stop) {
        long written = stream_->write(bytes, range.length);
        if (written < 0 || static_cast<size_t>(written) != range.length) {
            failed_ = true;
            foundation::systemLog("[Beacon] Failed to write data to stream");
            *stop = true;
            return;
        }
        length_ += range.length;
    });
}

bool BCNMultipartMimeStreamEncoder::writeBytes(const uint8_t* bytes, size_t length) {
    long written = stream_->write(bytes, length);
    if (written < 0 || static_cast<size_t>(written) != length) {
        failed_ = true;
        foundation::systemLog("[Beacon] Failed to write bytes to stream");
        return false;
    }
    length_ += length;
    return true;
}

void BCNMultipartMimeStreamEncoder::writeText(const std::string& text) {
    writeData(foundation::Data::fromString(text));
}
