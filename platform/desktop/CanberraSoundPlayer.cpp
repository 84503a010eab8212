#include "CanberraSoundPlayer.h"

#include <canberra.h>
#include <system_error>

namespace desktop {

CanberraSoundPlayer::CanberraSoundPlayer() {
    ca_context* context = nullptr;
    if (ca_context_create(&context) != CA_SUCCESS) return;
    ca_context_change_props(context, CA_PROP_APPLICATION_NAME, "Tavlo", CA_PROP_APPLICATION_ID, "com.tavlo.Tavlo",
                            nullptr);
    if (ca_context_open(context) != CA_SUCCESS) {
        ca_context_destroy(context);
        return;
    }
    context_ = context;
}

CanberraSoundPlayer::~CanberraSoundPlayer() {
    if (context_) ca_context_destroy(context_);
}

bool CanberraSoundPlayer::load(const std::string& name, const std::filesystem::path& file) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) return false;
    std::lock_guard lock(mutex_);
    Sound sound{file, "tavlo-" + name, false};
    if (context_) {
        sound.cached = ca_context_cache(context_, CA_PROP_EVENT_ID, sound.eventID.c_str(), CA_PROP_MEDIA_FILENAME,
                                        file.c_str(), CA_PROP_CANBERRA_CACHE_CONTROL, "permanent",
                                        nullptr) == CA_SUCCESS;
    }
    sounds_[name] = std::move(sound);
    return true;
}

bool CanberraSoundPlayer::isLoaded(const std::string& name) const {
    std::lock_guard lock(mutex_);
    return sounds_.count(name) != 0;
}

void CanberraSoundPlayer::play(const std::string& name) {
    std::lock_guard lock(mutex_);
    if (!context_) return;
    auto it = sounds_.find(name);
    if (it == sounds_.end()) return;
    const Sound& sound = it->second;
    if (sound.cached) {
        ca_context_play(context_, 0, CA_PROP_EVENT_ID, sound.eventID.c_str(), nullptr);
    } else {
        ca_context_play(context_, 0, CA_PROP_EVENT_ID, sound.eventID.c_str(), CA_PROP_MEDIA_FILENAME,
                        sound.file.c_str(), nullptr);
    }
}

}  // namespace desktop
