#pragma once
// One syncing device of a two-device test: the sync_device program in a
// process of its own, with its own HOME and XDG folders, driven line by line
// through its standard input. Every command and answer is kept, so a failing
// test can show what the device was told and said.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/PlistValue.h"
#include "tests/support/ChildProcess.h"

namespace e2e {

class DeviceProcess {
public:
    DeviceProcess(std::string name, std::filesystem::path home);
    ~DeviceProcess();

    const std::string& name() const { return name_; }
    const std::filesystem::path& home() const { return home_; }
    std::filesystem::path dataHome() const { return home_ / "data"; }
    std::filesystem::path configHome() const { return home_ / "config"; }
    // The folder of one clipping's asset files.
    std::filesystem::path assetFolder(const std::string& clippingID) const;
    // HOME and the XDG folders of this device.
    std::map<std::string, std::string> environment() const;
    // The cloud layer's identifier of this device (made by the first process).
    std::string deviceID() const;

    // Starts the program (options such as --clock-offset SECONDS).
    ::testing::AssertionResult start(const std::vector<std::string>& options = {});
    bool running() const;
    // Sends one command and answers the lines of its answer, the last being
    // "ok", "idle" or "error ..."; without an answer in time the last line
    // is "no answer".
    std::vector<std::string> run(const std::string& command,
                                 std::chrono::seconds timeout = std::chrono::seconds(60));
    // The command answered "ok" (or "idle" for idle).
    ::testing::AssertionResult ok(const std::string& command,
                                  std::chrono::seconds timeout = std::chrono::seconds(60));
    ::testing::AssertionResult idle(std::chrono::seconds timeout = std::chrono::seconds(60));
    // Each List, Clipping and Asset of the store; nothing when the device did not answer.
    std::optional<std::vector<foundation::PlistValue>> dump();
    // The identifier of the clipping whose text is text, or empty.
    std::string clippingWithText(const std::string& text);
    // The texts of the device's clipboard items joined by newlines; nothing
    // when the device did not answer.
    std::optional<std::string> pasteboard();
    // The answer of a command that replies one JSON line, read.
    std::optional<foundation::PlistValue> query(const std::string& command);

    // Ends the process at once, as a crash would.
    void kill();
    // Asks the program to quit and waits for it; true when it ended with 0.
    bool quit();
    // The commands and answers so far, the newest last.
    std::string transcript(size_t lastLines = 60) const;

private:
    std::string name_;
    std::filesystem::path home_;
    std::unique_ptr<testsupport::ChildProcess> process_;
    std::vector<std::string> transcript_;
};

}  // namespace e2e
