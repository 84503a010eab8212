#pragma once
// Sound player over libcanberra (the desktop's event-sound library, speaking to
// PulseAudio or PipeWire). Any thread.
//
// Loading uploads the file to the sound server's sample cache under an event
// id, so later plays only name it; a server without a cache plays from the file
// instead. Without a reachable server every call is a silent no-op.

#include <map>
#include <mutex>

#include "SoundPlayer.h"

struct ca_context;

namespace desktop {

class CanberraSoundPlayer final : public SoundPlayer {
public:
    CanberraSoundPlayer();
    ~CanberraSoundPlayer() override;

    bool load(const std::string& name, const std::filesystem::path& file) override;
    bool isLoaded(const std::string& name) const override;
    void play(const std::string& name) override;

    // Whether a sound server answered when the player was made.
    bool hasServer() const { return context_ != nullptr; }

private:
    struct Sound {
        std::filesystem::path file;
        std::string eventID;
        bool cached = false;
    };

    mutable std::mutex mutex_;
    ca_context* context_ = nullptr;
    std::map<std::string, Sound> sounds_;
};

}  // namespace desktop
