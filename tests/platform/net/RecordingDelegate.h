#pragma once
// A connection delegate that writes down what it hears, where it hears it, and
// lets a test wait for the end.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/net/URLConnection.h"

namespace nettest {

class RecordingDelegate : public net::URLConnectionDelegate {
public:
    void connectionDidReceiveResponse(net::URLConnection&, const net::HTTPURLResponse& r) override {
        note("response", [&] { response = r; });
    }
    void connectionDidReceiveData(net::URLConnection&, const foundation::Data& data) override {
        note("data", [&] { body += data.toString(); });
    }
    void connectionDidFinishLoading(net::URLConnection&) override { note("finish", [] {}, true); }
    void connectionDidFailWithError(net::URLConnection&, const foundation::Error& e) override {
        note("fail", [&] { error = e; }, true);
    }

    bool waitUntilDone(double seconds = 10) {
        std::unique_lock lock(mutex_);
        return done_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return finished_; });
    }
    // The event kinds with runs of data folded into one.
    std::vector<std::string> kinds() const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const auto& e : events_)
            if (out.empty() || out.back() != e || e != "data") out.push_back(e);
        return out;
    }
    size_t eventCount() const {
        std::lock_guard lock(mutex_);
        return events_.size();
    }
    std::vector<std::string> labels() const {
        std::lock_guard lock(mutex_);
        return labels_;
    }

    std::optional<net::HTTPURLResponse> response;
    std::string body;
    std::optional<foundation::Error> error;

private:
    template <class F>
    void note(const char* kind, F&& record, bool last = false) {
        std::lock_guard lock(mutex_);
        events_.push_back(kind);
        labels_.push_back(dispatch::currentQueueLabel());
        record();
        if (last) {
            finished_ = true;
            done_.notify_all();
        }
    }

    mutable std::mutex mutex_;
    std::condition_variable done_;
    std::vector<std::string> events_;
    std::vector<std::string> labels_;
    bool finished_ = false;
};

}  // namespace nettest
