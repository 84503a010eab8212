#pragma once
// One running Tavlo on a device's folders, as a person runs it: its own X
// server (its own clipboard), its own session bus (the bus name keeps one
// instance per session). Copies go in with xclip on its display; its store is
// read with sqlite3, read-only, beside it; its clipboard with xclip -o.

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "platform/foundation/PlistValue.h"
#include "tests/e2e/CloudAccount.h"
#include "tests/e2e/DeviceProcess.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PrivateServers.h"

namespace e2e {

// One running Tavlo on a device's folders.
class RealProgram {
public:
    explicit RealProgram(DeviceProcess& device) : device_(device) {}
    ~RealProgram() { quit(); }

    // environment: more variables for the program (TAVLO_CLOCK_OFFSET).
    ::testing::AssertionResult start(const std::map<std::string, std::string>& environment = {}) {
        if (!display_) display_ = testsupport::PrivateXServer::start("800x600x24");
        if (!bus_) bus_ = testsupport::PrivateSessionBus::start();
        if (!display_ || !bus_) return ::testing::AssertionFailure() << "no X server or session bus for " << device_.name();
        auto env = device_.environment();
        env["DISPLAY"] = display_->display();
        env["DBUS_SESSION_BUS_ADDRESS"] = bus_->address();
        env["QT_QPA_PLATFORM"] = "xcb";
        for (const auto& [name, value] : environment) env[name] = value;
        program_ = testsupport::ChildProcess::start({TAVLO_PROGRAM}, env);
        if (!program_) return ::testing::AssertionFailure() << device_.name() << ": Tavlo did not start";
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (log("General").find("Application did finish launching") == std::string::npos) {
            if (std::chrono::steady_clock::now() > end || !program_->running())
                return ::testing::AssertionFailure() << device_.name() << ": Tavlo never finished launching\n" << log("General");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return ::testing::AssertionSuccess();
    }
    // Ends the program as a user quitting it would (its store written).
    void quit() {
        if (!program_ || !program_->running()) return;
        program_->signal(SIGTERM);
        program_->wait(std::chrono::seconds(20));
    }
    void kill() {
        if (program_) program_->signal(SIGKILL), program_->wait(std::chrono::seconds(10));
    }
    // Another program on this device's display copies text, or a PNG file.
    bool copyText(const std::string& text) const {
        return testsupport::runCommand({"sh", "-c", "printf '%s' \"$0\" | xclip -display \"$1\" -selection clipboard >/dev/null 2>&1",
                           text, display_->display()},
                          std::chrono::seconds(10))
                   .status == 0;
    }
    bool copyImage(const std::string& file) const {
        return testsupport::runCommand({"sh", "-c", "xclip -display \"$1\" -selection clipboard -t image/png -i \"$0\" >/dev/null 2>&1",
                           file, display_->display()},
                          std::chrono::seconds(10))
                   .status == 0;
    }
    // The text on this device's clipboard; a line ends it, as the reader
    // drops a last line without one.
    std::string clipboard() const {
        std::string text = testsupport::runCommand({"sh", "-c", "xclip -display \"$0\" -o -selection clipboard 2>/dev/null; echo",
                                       display_->display()},
                                      std::chrono::seconds(5))
                               .output;
        if (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    }
    // Writes settings into the running program's settings file, as the Sync
    // pane would; its folder watch reads them and announces each change.
    ::testing::AssertionResult set(const std::map<std::string, foundation::PlistValue>& values) const {
        return writeSettings(device_.configHome(), "group.com.tavlo.Tavlo", values);
    }
    // A query on the store, opened read-only beside the running program.
    std::string query(const std::string& sql) const {
        return testsupport::runCommand({"sqlite3", "-readonly", (device_.dataHome() / "Tavlo" / "datastore").string(), sql},
                          std::chrono::seconds(10))
            .output;
    }
    std::string log(const std::string& context) const {
        return testsupport::runCommand({"sh", "-c", "cat \"$0\"/Logs/Tavlo/\"$1\"/*.log 2>/dev/null", device_.dataHome().string(), context},
                          std::chrono::seconds(5))
            .output;
    }

private:
    DeviceProcess& device_;
    std::unique_ptr<testsupport::PrivateXServer> display_;
    std::unique_ptr<testsupport::PrivateSessionBus> bus_;
    std::unique_ptr<testsupport::ChildProcess> program_;
};

}  // namespace e2e
