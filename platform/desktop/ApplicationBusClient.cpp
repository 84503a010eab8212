#include "ApplicationBusClient.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

namespace desktop {

namespace {

constexpr const char* kDomain = "com.tavlo.desktop.ApplicationBus";

struct BusCloser {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;

struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// The session bus of DBUS_SESSION_BUS_ADDRESS (or the user's bus), or null.
Bus openSessionBus() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0) return nullptr;
    return Bus(bus);
}

}  // namespace

std::string ApplicationBusClient::objectPathFor(const std::string& identifier) {
    std::string path = "/";
    for (char c : identifier) {
        if (c == '.') path += '/';
        else if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') path += c;
        else path += '_';
    }
    return path;
}

std::string ApplicationBusClient::interfaceFor(const std::string& identifier) { return identifier + ".Application"; }

bool ApplicationBusClient::hasOwner(const std::string& identifier) {
    Bus bus = openSessionBus();
    if (!bus) return false;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "NameHasOwner", &error, &reply, "s", identifier.c_str());
    Message owned(reply);
    sd_bus_error_free(&error);
    int answer = 0;
    return r >= 0 && sd_bus_message_read(reply, "b", &answer) > 0 && answer;
}

foundation::Result<void> ApplicationBusClient::reopenOwner(const std::string& identifier,
                                                           std::chrono::milliseconds timeout) {
    Bus bus = openSessionBus();
    if (!bus) return foundation::Error(kDomain, 1, "No session bus is reachable");
    std::string path = objectPathFor(identifier);
    std::string interface = interfaceFor(identifier);
    sd_bus_message* call = nullptr;
    if (int r = sd_bus_message_new_method_call(bus.get(), &call, identifier.c_str(), path.c_str(), interface.c_str(),
                                               "Reopen");
        r < 0)
        return foundation::Error(kDomain, 2, std::string("Cannot call Reopen: ") + std::strerror(-r));
    Message owned(call);
    auto usec = static_cast<uint64_t>(std::max<std::chrono::milliseconds::rep>(timeout.count(), 1)) * 1000;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call(bus.get(), call, usec, &error, &reply);
    Message ownedReply(reply);
    if (r >= 0) return {};
    foundation::Error failure(error.name ? error.name : kDomain, 2,
                              error.message ? error.message : std::string("Reopen failed: ") + std::strerror(-r));
    sd_bus_error_free(&error);
    return failure;
}

}  // namespace desktop
