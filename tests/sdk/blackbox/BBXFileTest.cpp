#include "sdk/blackbox/BBXFile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/foundation/JSON.h"
#include "tests/support/TempHome.h"

namespace {

std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

void writeBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

struct WriterCase {
    const char* name;
    std::function<void(BBXFile*)> write;
    std::string expected;
};

class BBXFileTest : public ::testing::Test {
protected:
    std::filesystem::path path() const { return home_.root() / "record.bbxrecord"; }

    std::string written(const std::function<void(BBXFile*)>& write, bool buffered = false) {
        std::filesystem::remove(path());
        BBXFile file;
        EXPECT_TRUE(BBXFileInitWithPathMode(&file, path().c_str(), false, buffered));
        write(&file);
        EXPECT_TRUE(BBXFileClose(&file));
        return contents(path());
    }

    testsupport::TempHome home_;
};

TEST_F(BBXFileTest, WritesExactBytes) {
    const WriterCase cases[] = {
        {"a section of an unsigned member and a missing string",
         [](BBXFile* f) {
             BBXFileOpenSection(f, "x");
             BBXFileBeginObject(f);
             BBXFileWriteUnsignedEntry(f, "a", 1);
             BBXFileWriteStringEntry(f, "b", nullptr);
             BBXFileEndObject(f);
             BBXFileCloseSection(f);
         },
         "{\"x\":{\"a\":1,\"b\":null}}\n"},
        {"an array of unsigned values",
         [](BBXFile* f) {
             BBXFileOpenSection(f, "s");
             BBXFileBeginObject(f);
             BBXFileWriteKey(f, "c");
             BBXFileBeginArray(f);
             for (uint64_t v : {1, 2, 3}) BBXFileWriteUnsignedElement(f, v);
             BBXFileEndArray(f);
             BBXFileEndObject(f);
             BBXFileCloseSection(f);
         },
         "{\"s\":{\"c\":[1,2,3]}}\n"},
        {"two objects in an array",
         [](BBXFile* f) {
             BBXFileOpenSection(f, "t");
             BBXFileBeginArray(f);
             for (uint64_t v : {1, 2}) {
                 BBXFileBeginObject(f);
                 BBXFileWriteUnsignedEntry(f, "n", v);
                 BBXFileEndObject(f);
             }
             BBXFileEndArray(f);
             BBXFileCloseSection(f);
         },
         "{\"t\":[{\"n\":1},{\"n\":2}]}\n"},
        {"a negative and a zero",
         [](BBXFile* f) {
             BBXFileOpenSection(f, "n");
             BBXFileBeginObject(f);
             BBXFileWriteSignedEntry(f, "neg", -12);
             BBXFileWriteUnsignedEntry(f, "zero", 0);
             BBXFileWriteSignedEntry(f, "min", INT64_MIN);
             BBXFileWriteUnsignedEntry(f, "max", UINT64_MAX);
             BBXFileEndObject(f);
             BBXFileCloseSection(f);
         },
         "{\"n\":{\"neg\":-12,\"zero\":0,\"min\":-9223372036854775808,\"max\":18446744073709551615}}\n"},
        {"hex-encoded text, null hex, booleans",
         [](BBXFile* f) {
             BBXFileOpenSection(f, "h");
             BBXFileBeginObject(f);
             BBXFileWriteHexEntry(f, "abc", "abc");
             BBXFileWriteHexEntry(f, "none", nullptr);
             BBXFileWriteBoolEntry(f, "yes", true);
             BBXFileWriteBoolEntry(f, "no", false);
             BBXFileWriteKey(f, "list");
             BBXFileBeginArray(f);
             BBXFileWriteHexElement(f, "a\"b");
             BBXFileWriteStringElement(f, nullptr);
             BBXFileEndArray(f);
             BBXFileEndObject(f);
             BBXFileCloseSection(f);
         },
         "{\"h\":{\"abc\":\"616263\",\"none\":null,\"yes\":true,\"no\":false,\"list\":[\"612262\",null]}}\n"},
        {"a raw quote in a plain string, long keys and values",
         [](BBXFile* f) {
             BBXFileOpenSection(f, "q");
             BBXFileBeginObject(f);
             BBXFileWriteStringEntry(f, "k", "a\"b");
             BBXFileWriteStringEntry(f, "a_rather_long_key", "a value longer than twelve");
             BBXFileWriteNSStringEntryIfNotEmpty(f, "empty", std::string());
             BBXFileWriteNSStringEntry(f, "object", std::string("o"));
             BBXFileEndObject(f);
             BBXFileCloseSection(f);
         },
         "{\"q\":{\"k\":\"a\"b\",\"a_rather_long_key\":\"a value longer than twelve\",\"object\":\"o\"}}\n"},
        {"hex text longer than one 16-byte chunk",
         [](BBXFile* f) {
             BBXFileOpenSection(f, "l");
             BBXFileWriteHexElement(f, "0123456789abcdefXY");
             BBXFileCloseSection(f);
         },
         "{\"l\":\"30313233343536373839616263646566" "5859\"}\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(written(c.write), c.expected);
        EXPECT_EQ(written(c.write, true), c.expected);
    }
}

TEST_F(BBXFileTest, SectionsAppendOnePerLineAndCountTheFile) {
    auto section = [](BBXFile* f, const char* key) {
        BBXFileOpenSection(f, key);
        BBXFileBeginObject(f);
        BBXFileWriteUnsignedEntry(f, "v", 7);
        BBXFileEndObject(f);
        BBXFileCloseSection(f);
    };
    written([&](BBXFile* f) { section(f, "first"); });
    BBXFile file;
    ASSERT_TRUE(BBXFileInit(&file, path().c_str(), false));
    EXPECT_EQ(file.writtenCount, 18u);
    section(&file, "second");
    uint64_t count = 0;
    EXPECT_TRUE(BBXFileCloseWithOffset(&file, &count));
    EXPECT_EQ(count, 37u);
    EXPECT_FALSE(BBXFileIsOpen(&file));
    EXPECT_EQ(contents(path()), "{\"first\":{\"v\":7}}\n{\"second\":{\"v\":7}}\n");
}

// A writer stopped inside a section (a thread whose state could not be read)
// leaves its line open; the next section still starts a line of its own.
TEST_F(BBXFileTest, ASectionAfterAnUnfinishedOneStartsAFreshLine) {
    std::string bytes = written([](BBXFile* f) {
        BBXFileOpenSection(f, "threads");
        BBXFileBeginArray(f);
        BBXFileBeginObject(f);
        BBXFileWriteUnsignedEntry(f, "rip", 1);
        BBXFileOpenSection(f, "runtime");
        BBXFileBeginObject(f);
        BBXFileWriteStringEntry(f, "objc_selector", "");
        BBXFileEndObject(f);
        BBXFileCloseSection(f);
    });
    EXPECT_EQ(bytes, "{\"threads\":[{\"rip\":1\n{\"runtime\":{\"objc_selector\":\"\"}}\n");
    auto sections = BBXFileReadSections(path().c_str(), false);
    ASSERT_TRUE(sections);
    ASSERT_EQ(sections->size(), 1u);
    EXPECT_TRUE((*sections)[0].asDictionary()->count("runtime"));
}

std::vector<size_t> gWriteSizes;
ssize_t recordWrite(int fd, const void* bytes, size_t count) {
    gWriteSizes.push_back(count);
    return ::write(fd, bytes, count);
}

TEST_F(BBXFileTest, BufferedWritesGoOutIn999ByteWrites) {
    gWriteSizes.clear();
    BBXFileSetWriteFunction(recordWrite);
    std::string piece(2500, 'z');
    std::string bytes = written([&](BBXFile* f) { BBXFileWriteStringElement(f, piece.c_str()); }, true);
    BBXFileSetWriteFunction(nullptr);
    EXPECT_EQ(gWriteSizes, (std::vector<size_t>{999, 999, 504}));  // the 2500 bytes and their two quotes
    EXPECT_EQ(bytes, "\"" + piece + "\"");

    gWriteSizes.clear();
    BBXFileSetWriteFunction(recordWrite);
    BBXFile file;
    ASSERT_TRUE(BBXFileInitWithPathMode(&file, path().c_str(), false, true));
    // Three pieces: quote, 2498 bytes, quote, so 2500 in all.
    std::string text(2498, 'y');
    BBXFileWriteStringElement(&file, text.c_str());
    EXPECT_EQ(gWriteSizes, (std::vector<size_t>{999, 999}));
    BBXFileClose(&file);
    BBXFileSetWriteFunction(nullptr);
    EXPECT_EQ(gWriteSizes, (std::vector<size_t>{999, 999, 502}));
}

TEST_F(BBXFileTest, WholeSectionsGoOutInOneWrite) {
    std::string text(2500, 'p');
    for (bool buffered : {false, true}) {
        SCOPED_TRACE(buffered ? "buffered" : "unbuffered");
        BBXFile file;
        ASSERT_TRUE(BBXFileInitWithPathMode(&file, path().c_str(), false, buffered));
        // A writer stopped inside a section left its line open.
        BBXFileOpenSection(&file, "cut");
        BBXFileBeginObject(&file);
        BBXFileFlush(&file);
        gWriteSizes.clear();
        BBXFileSetWriteFunction(recordWrite);
        EXPECT_TRUE(BBXFileWriteWholeSections(&file, [&](BBXFile* f) {
            for (const char* key : {"load", "unload"}) {
                BBXFileOpenSection(f, key);
                BBXFileBeginObject(f);
                BBXFileWriteStringEntry(f, "path", text.c_str());
                BBXFileWriteUnsignedEntry(f, "base", 4096);
                BBXFileEndObject(f);
                BBXFileCloseSection(f);
            }
        }));
        BBXFileSetWriteFunction(nullptr);
        uint64_t written = 0;
        BBXFileCloseWithOffset(&file, &written);
        std::string line = "{\"path\":\"" + text + "\",\"base\":4096}}\n";
        std::string expected = "\n{\"load\":" + line + "{\"unload\":" + line;
        EXPECT_EQ(gWriteSizes, (std::vector<size_t>{expected.size()}));
        EXPECT_EQ(contents(path()), "{\"cut\":{" + expected);
        EXPECT_EQ(written, contents(path()).size());
        auto sections = BBXFileReadSections(path().c_str(), false);
        ASSERT_TRUE(sections);
        EXPECT_EQ(sections->size(), 2u);
    }
    BBXFile closed;
    EXPECT_FALSE(BBXFileWriteWholeSections(&closed, [](BBXFile* f) { BBXFileOpenSection(f, "x"); }));
}

TEST_F(BBXFileTest, OpenFailsForAMissingFolder) {
    BBXFile file;
    EXPECT_FALSE(BBXFileInit(&file, (home_.root() / "no" / "such.bbxrecord").c_str(), false));
    EXPECT_FALSE(BBXFileIsOpen(&file));
    EXPECT_FALSE(BBXFileInit(nullptr, path().c_str(), false));
}

TEST_F(BBXFileTest, ReaderSkipsOnlyBadLines) {
    struct Case {
        const char* name;
        std::string bytes;
        std::vector<std::string> keys;
    };
    const Case cases[] = {
        {"last line without newline", "{\"a\":{}}\n{\"b\":{}}", {"a", "b"}},
        {"invalid JSON between good lines", "{\"a\":{}}\n{\"broken\":\n{\"c\":1}\n", {"a", "c"}},
        {"a 0xff byte in one line", "{\"a\":{}}\n{\"b\":\"x\xffy\"}\n{\"c\":{}}\n", {"a", "c"}},
        {"empty file", "", {}},
        {"a cut UTF-8 character", "{\"n\":\"\xc3\"}\n{\"m\":\"\xc3\xa9\"}\n", {"m"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeBytes(path(), c.bytes);
        auto sections = BBXFileReadSections(path().c_str(), true);
        ASSERT_TRUE(sections);
        std::vector<std::string> keys;
        for (const auto& section : *sections) keys.push_back(section.asDictionary()->begin()->first);
        EXPECT_EQ(keys, c.keys);
        EXPECT_TRUE(std::filesystem::exists(path()));
    }
}

TEST_F(BBXFileTest, ReaderTransformsAndDrops) {
    writeBytes(path(), "{\"keep\":1}\n{\"drop\":2}\n");
    auto sections = BBXFileReadSections(path().c_str(), false, [](const foundation::PlistValue& section)
                                                                    -> std::optional<foundation::PlistValue> {
        if (section.asDictionary()->count("drop")) return std::nullopt;
        return foundation::PlistValue("kept");
    });
    ASSERT_TRUE(sections);
    ASSERT_EQ(sections->size(), 1u);
    EXPECT_EQ(*(*sections)[0].asString(), "kept");
}

TEST_F(BBXFileTest, UnreadableFileIsNoneAndDeletedOnRequest) {
    EXPECT_FALSE(BBXFileReadSections(reinterpret_cast<const char*>(16), true));
    EXPECT_FALSE(BBXFileReadSections((home_.root() / "missing").c_str(), true));
    std::filesystem::create_directory(home_.root() / "folder");
    EXPECT_FALSE(BBXFileReadSections((home_.root() / "folder").c_str(), false));
    EXPECT_TRUE(std::filesystem::exists(home_.root() / "folder"));
    EXPECT_FALSE(BBXFileReadSections((home_.root() / "folder").c_str(), true));
    EXPECT_FALSE(std::filesystem::exists(home_.root() / "folder"));
}

TEST(BBXHexEncodeCString, EncodesBytes) {
    EXPECT_EQ(BBXHexEncodeCString("abc"), "616263");
    EXPECT_EQ(BBXHexEncodeCString("\xff\n"), "ff0a");
    EXPECT_EQ(BBXHexEncodeCString(nullptr), "");
}

// The writer's promise: it works inside a signal handler. A child writes a
// record from its handler and leaves by _exit without touching anything else.
const char* gHandlerPath = nullptr;
void writeFromHandler(int) {
    BBXFile file;
    if (BBXFileInit(&file, gHandlerPath, false)) {
        BBXFileOpenSection(&file, "signal");
        BBXFileBeginObject(&file);
        BBXFileWriteUnsignedEntry(&file, "number", SIGUSR1);
        BBXFileWriteHexEntry(&file, "text", "from a handler");
        BBXFileEndObject(&file);
        BBXFileCloseSection(&file);
        BBXFileClose(&file);
    }
}

TEST_F(BBXFileTest, AChildWritesARecordFromItsSignalHandler) {
    std::string target = path().string();
    gHandlerPath = target.c_str();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct sigaction action {};
        action.sa_handler = writeFromHandler;
        sigaction(SIGUSR1, &action, nullptr);
        raise(SIGUSR1);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(contents(path()), "{\"signal\":{\"number\":10,\"text\":\"66726f6d20612068616e646c6572\"}}\n");
}

}  // namespace
