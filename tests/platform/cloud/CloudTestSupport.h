#pragma once
// What the cloud layer's tests share: a container over a folder of this test
// for a named device, and a wait that runs the main queue.

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "platform/cloud/Container.h"
#include "platform/dispatch/MainQueue.h"

namespace cloudtest {

inline std::shared_ptr<cloud::Container> container(const std::filesystem::path& folder, const std::string& device,
                                                   const std::string& account = "tester") {
    cloud::Configuration configuration;
    configuration.account = account;
    configuration.folder = folder;
    return cloud::Container::make("com.tavlo.Tavlo", configuration, device);
}

// Runs the main queue until done() holds or timeout passes; answers done().
inline bool runMainUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done() && std::chrono::steady_clock::now() < end) {
        dispatch::MainQueue::runUntilIdle();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    dispatch::MainQueue::runUntilIdle();
    return done();
}

}  // namespace cloudtest
