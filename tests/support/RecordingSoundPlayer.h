#pragma once
// A sound player that plays nothing and records what it was asked to load and
// play, for tests of code that makes sounds.

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/desktop/SoundPlayer.h"

namespace testsupport {

class RecordingSoundPlayer final : public desktop::SoundPlayer {
public:
    bool load(const std::string& name, const std::filesystem::path& file) override {
        std::lock_guard lock(mutex_);
        loads_.push_back(name);
        files_[name] = file;
        return true;
    }
    bool isLoaded(const std::string& name) const override {
        std::lock_guard lock(mutex_);
        return files_.count(name) != 0;
    }
    void play(const std::string& name) override {
        std::lock_guard lock(mutex_);
        plays_.push_back(name);
    }

    std::vector<std::string> loads() const {
        std::lock_guard lock(mutex_);
        return loads_;
    }
    std::vector<std::string> plays() const {
        std::lock_guard lock(mutex_);
        return plays_;
    }
    std::filesystem::path fileOf(const std::string& name) const {
        std::lock_guard lock(mutex_);
        auto it = files_.find(name);
        return it == files_.end() ? std::filesystem::path() : it->second;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> loads_;
    std::vector<std::string> plays_;
    std::map<std::string, std::filesystem::path> files_;
};

}  // namespace testsupport
