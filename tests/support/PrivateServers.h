#pragma once
// Private servers for tests that need a desktop session of their own: an X
// server (Xvfb) and a session bus (dbus-daemon). Each lives as long as its
// object and dies with the test program however it ends; start() points
// DISPLAY or DBUS_SESSION_BUS_ADDRESS at it, so start them before anything in
// the process connects.
#include <sys/types.h>

#include <memory>
#include <string>

namespace testsupport {

class PrivateXServer {
public:
    // Nothing when Xvfb cannot be started.
    static std::unique_ptr<PrivateXServer> start(const std::string& screen = "640x480x24");
    ~PrivateXServer();
    const std::string& display() const { return display_; }
    pid_t pid() const { return pid_; }
    // Kills the server now (a test of what happens when the desktop goes away).
    void kill();

private:
    PrivateXServer(pid_t pid, std::string display) : pid_(pid), display_(std::move(display)) {}
    pid_t pid_;
    std::string display_;
};

class PrivateSessionBus {
public:
    // Nothing when dbus-daemon cannot be started.
    static std::unique_ptr<PrivateSessionBus> start();
    ~PrivateSessionBus();
    const std::string& address() const { return address_; }

private:
    PrivateSessionBus(pid_t pid, std::string address) : pid_(pid), address_(std::move(address)) {}
    pid_t pid_;
    std::string address_;
};

}  // namespace testsupport
