#pragma once
// Writes a multipart/form-data body into an output stream, part by part, and
// counts its bytes: a "MIME-Version: 1.0" line, the parts in the order they
// were added, then the closing boundary. One body per encoder; one thread at a
// time.
//
// A field or file name goes between quotation marks in its part's header, so
// a quotation mark, CR or LF in it is written as %22, %0D or %0A: unescaped,
// it would end the name or the header and let the name forge parts of its own.
//
// A write the stream does not take whole is logged and not retried; the
// encoder then remembers that its body is incomplete (failed()), and
// populateRequest() leaves such a body out of the request altogether, so a
// truncated body is never sent as if it were whole.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Data.h"
#include "platform/net/URLRequest.h"
#include "sdk/beacon/BCNOutputStream.h"

class BCNMultipartMimeStreamEncoder {
public:
    static constexpr size_t kFileChunkBytes = 64 * 1024;

    // An encoder over stream; a missing boundary is replaced by generateBoundary().
    static std::unique_ptr<BCNMultipartMimeStreamEncoder> encoderWithStream(
        std::shared_ptr<BCNOutputStream> stream, const std::optional<std::string>& boundary);
    BCNMultipartMimeStreamEncoder(std::shared_ptr<BCNOutputStream> stream, const std::optional<std::string>& boundary);

    // Builds a body in memory with the parts body adds, and sets it on request
    // with its "Content-Type" and "Content-Length". Answers false, and leaves
    // the request without a body, when a write failed.
    static bool populateRequest(net::URLRequest& request,
                                const std::function<void(BCNMultipartMimeStreamEncoder&)>& body);
    static std::string contentTypeHTTPHeaderValueWithBoundary(const std::string& boundary);
    // A new UUID, upper case with hyphens.
    static std::string generateBoundary();

    const std::string& boundary() const { return boundary_; }
    // Bytes written since beginEncoding(), complete writes only.
    uint64_t length() const { return length_; }
    // Whether some write since beginEncoding() was short or failed.
    bool failed() const { return failed_; }

    // beginEncoding(), parts, endEncoding().
    void encode(const std::function<void()>& parts);
    // Resets the count and the failure, opens the stream, writes the header.
    void beginEncoding();
    // Writes the footer and closes the stream.
    void endEncoding();

    foundation::Data headerData() const;
    foundation::Data footerData() const;
    std::string contentTypeHTTPHeaderValue() const;
    std::string contentLengthHTTPHeaderValue() const;

    // A text part; nothing when the value or the field name is missing.
    void addValue(const std::optional<std::string>& value, const std::optional<std::string>& fieldName);
    // A number goes as its decimal text.
    void addValue(int64_t value, const std::optional<std::string>& fieldName);
    // A file part; "application/octet-stream" without a type. Nothing when the
    // file name or the field name is missing. The bytes are written from data
    // itself, never copied.
    void addFileData(const foundation::Data& data, const std::optional<std::string>& fileName,
                     const std::optional<std::string>& mimeType, const std::optional<std::string>& fieldName);
    // Streams the file into the part in pieces of kFileChunkBytes; a file that
    // cannot be opened adds no part, and a read that fails midway marks the
    // body failed.
    void addFile(const std::filesystem::path& file, const std::optional<std::string>& fileName,
                 const std::optional<std::string>& mimeType, const std::optional<std::string>& fieldName);

    // Writes data (each of its byte ranges in one write); a short write is
    // logged, ends this data and marks the body failed.
    void writeData(const foundation::Data& data);
    // One write of length bytes; counted and true when the stream took them all.
    bool writeBytes(const uint8_t* bytes, size_t length);

    // The text a name is written as between quotation marks.
    static std::string escapedName(const std::string& name);

private:
    std::string filePartHeader(const std::string& fileName, const std::optional<std::string>& mimeType,
                               const std::string& fieldName) const;
    void writeText(const std::string& text);

    std::shared_ptr<BCNOutputStream> stream_;
    std::string boundary_;
    uint64_t length_ = 0;
    bool failed_ = false;
};
