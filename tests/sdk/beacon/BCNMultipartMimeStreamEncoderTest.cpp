// Multipart bodies byte for byte, their length, names that would break the
// headers, and streams that do not take everything.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <regex>

#include "sdk/beacon/BCNFileOutputStream.h"
#include "sdk/beacon/BCNMemoryOutputStream.h"
#include "sdk/beacon/BCNMultipartMimeStreamEncoder.h"
#include "tests/support/RecordingSystemLog.h"
#include "tests/support/TempHome.h"

namespace {

using namespace std::string_literals;

const std::string B = "BOUNDARY";

// A stream that takes at most limit bytes in all, then short writes.
class ShortStream : public BCNOutputStream {
public:
    explicit ShortStream(size_t limit) : limit_(limit) {}
    void open() override {}
    void close() override {}
    long write(const uint8_t* bytes, size_t length) override {
        size_t n = std::min(length, limit_ - taken.size());
        taken.append(reinterpret_cast<const char*>(bytes), n);
        return static_cast<long>(n);
    }
    std::string taken;

private:
    size_t limit_;
};

std::string encode(const std::function<void(BCNMultipartMimeStreamEncoder&)>& parts, uint64_t* length = nullptr) {
    auto stream = std::make_shared<BCNMemoryOutputStream>();
    auto encoder = BCNMultipartMimeStreamEncoder::encoderWithStream(stream, B);
    encoder->encode([&] { parts(*encoder); });
    if (length) *length = encoder->length();
    EXPECT_FALSE(encoder->failed());
    return stream->data().toString();
}

TEST(BCNMultipartMimeStreamEncoderTest, AnEmptyBodyIsTheHeaderAndTheFooter) {
    uint64_t length = 0;
    std::string body = encode([](auto&) {}, &length);
    EXPECT_EQ(body, "MIME-Version: 1.0\r\n--BOUNDARY--\r\n");
    EXPECT_EQ(length, body.size());
}

TEST(BCNMultipartMimeStreamEncoderTest, PartsByteForByte) {
    const std::string value = "--BOUNDARY\r\nContent-Disposition: form-data; name=\"f\"\r\nContent-Type: text/plain\r\n\r\nv\r\n";
    const std::string typed = "--BOUNDARY\r\nContent-Disposition: form-data; name=\"d\"; filename=\"icon.png\"\r\n"
                              "Content-Type: image/png\r\nContent-Transfer-Encoding: binary\r\n\r\n\x89PNG\0x\r\n"s;
    const std::string untyped = "--BOUNDARY\r\nContent-Disposition: form-data; name=\"d\"; filename=\"f.bin\"\r\n"
                                "Content-Type: application/octet-stream\r\n\r\nab\r\n";
    const std::string number = "--BOUNDARY\r\nContent-Disposition: form-data; name=\"n\"\r\nContent-Type: text/plain\r\n\r\n1\r\n";
    struct Case {
        const char* name;
        std::function<void(BCNMultipartMimeStreamEncoder&)> parts;
        std::string expected;
    } cases[] = {
        {"value", [](auto& e) { e.addValue(std::optional<std::string>("v"), "f"); }, value},
        {"typed file",
         [](auto& e) { e.addFileData(foundation::Data("\x89PNG\0x", 6), "icon.png", "image/png", "d"); }, typed},
        {"untyped file", [](auto& e) { e.addFileData(foundation::Data("ab", 2), "f.bin", std::nullopt, "d"); }, untyped},
        {"number", [](auto& e) { e.addValue(1, "n"); }, number},
        {"missing value, name, file name or file",
         [](auto& e) {
             e.addValue(std::nullopt, "f");
             e.addValue(std::optional<std::string>("v"), std::nullopt);
             e.addFileData(foundation::Data("a", 1), std::nullopt, std::nullopt, "d");
             e.addFile("/nonexistent/file", "x", std::nullopt, "d");
         },
         ""},
        {"in the order added",
         [](auto& e) {
             e.addValue(std::optional<std::string>("v"), "f");
             e.addFileData(foundation::Data("ab", 2), "f.bin", std::nullopt, "d");
         },
         value + untyped},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        uint64_t length = 0;
        std::string body = encode(c.parts, &length);
        EXPECT_EQ(body, "MIME-Version: 1.0\r\n" + c.expected + "--BOUNDARY--\r\n");
        EXPECT_EQ(length, body.size());
    }
}

TEST(BCNMultipartMimeStreamEncoderTest, NamesCannotBreakOutOfTheirHeader) {
    std::string body = encode([](auto& e) {
        e.addValue(std::optional<std::string>("v"), "a\"\r\nContent-Type: x");
        e.addFileData(foundation::Data("b", 1), "n\"\n.png", std::nullopt, "f");
    });
    EXPECT_NE(body.find("name=\"a%22%0D%0AContent-Type: x\"\r\n"), std::string::npos) << body;
    EXPECT_NE(body.find("filename=\"n%22%0A.png\"\r\n"), std::string::npos) << body;
}

TEST(BCNMultipartMimeStreamEncoderTest, ABoundaryIsMadeWhenNoneIsGiven) {
    auto encoder = BCNMultipartMimeStreamEncoder::encoderWithStream(std::make_shared<BCNMemoryOutputStream>(), std::nullopt);
    EXPECT_TRUE(std::regex_match(encoder->boundary(), std::regex("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}")))
        << encoder->boundary();
    EXPECT_NE(BCNMultipartMimeStreamEncoder::generateBoundary(), BCNMultipartMimeStreamEncoder::generateBoundary());
    EXPECT_EQ(encoder->contentTypeHTTPHeaderValue(), "multipart/form-data; boundary=" + encoder->boundary());
}

TEST(BCNMultipartMimeStreamEncoderTest, PopulateRequestSetsTheBodyAndItsHeaders) {
    net::URLRequest request("https://h.test/apps");
    ASSERT_TRUE(BCNMultipartMimeStreamEncoder::populateRequest(
        request, [](auto& e) { e.addValue(std::optional<std::string>("v"), "f"); }));
    std::string body = request.httpBody().toString();
    std::string type = request.valueForHTTPHeaderField("Content-Type").value_or("");
    ASSERT_EQ(type.rfind("multipart/form-data; boundary=", 0), 0u);
    std::string boundary = type.substr(type.find('=') + 1);
    EXPECT_EQ(body.substr(body.size() - boundary.size() - 6), "--" + boundary + "--\r\n");
    EXPECT_EQ(request.valueForHTTPHeaderField("Content-Length"), std::to_string(body.size()));
}

TEST(BCNMultipartMimeStreamEncoderTest, AShortWriteMarksTheBodyFailedAndNoBodyIsSent) {
    testsupport::RecordingSystemLog::Scope log;
    std::string whole = encode([](auto& e) { e.addFileData(foundation::Data(std::string(100, 'x').data(), 100), "f", {}, "d"); });
    for (size_t limit : {size_t{0}, whole.size() / 2}) {
        SCOPED_TRACE(limit);
        auto stream = std::make_shared<ShortStream>(limit);
        BCNMultipartMimeStreamEncoder encoder(stream, B);
        encoder.encode([&] { encoder.addFileData(foundation::Data(std::string(100, 'x').data(), 100), "f", {}, "d"); });
        EXPECT_TRUE(encoder.failed());
        EXPECT_LT(encoder.length(), whole.size());
        EXPECT_LE(encoder.length(), stream->taken.size());
    }
    EXPECT_TRUE(log->contains("[Beacon] Failed to write data to stream"));
    uint8_t byte = 'x';
    BCNMultipartMimeStreamEncoder direct(std::make_shared<ShortStream>(0), B);
    EXPECT_FALSE(direct.writeBytes(&byte, 1));
    EXPECT_TRUE(log->contains("[Beacon] Failed to write bytes to stream"));
    EXPECT_EQ(direct.length(), 0u);
}

TEST(BCNMultipartMimeStreamEncoderTest, AFileStreamHoldsTheSameBody) {
    testsupport::TempHome home;
    auto path = home.root() / "body";
    std::ofstream(home.root() / "part.bin") << "part";
    auto stream = std::make_shared<BCNFileOutputStream>(path);
    BCNMultipartMimeStreamEncoder encoder(stream, B);
    encoder.encode([&] { encoder.addFile(home.root() / "part.bin", "part.bin", "text/x", "d"); });
    std::string expected = encode([](auto& e) { e.addFileData(foundation::Data("part", 4), "part.bin", "text/x", "d"); });
    EXPECT_EQ(foundation::Data::contentsOfFile(path).value().toString(), expected);
    EXPECT_EQ(encoder.length(), expected.size());
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

}  // namespace
