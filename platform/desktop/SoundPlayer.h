#pragma once
// Plays short interface sounds. Any thread.
//
// A sound is loaded once under a name and then played by that name as often as
// needed, so a process that plays the same sound for every capture holds one
// copy of it, not one per play. Where no sound server can be reached, playing
// is silent: sounds are a courtesy, never a failure.

#include <filesystem>
#include <memory>
#include <string>

namespace desktop {

class SoundPlayer {
public:
    virtual ~SoundPlayer();

    // Makes the sound in file playable under name; false when it cannot be read.
    virtual bool load(const std::string& name, const std::filesystem::path& file) = 0;
    virtual bool isLoaded(const std::string& name) const = 0;
    // Starts playing a loaded sound and returns at once.
    virtual void play(const std::string& name) = 0;

    // The player the application uses: libcanberra's unless replaced (tests hand
    // in a recording fake). Never null.
    static std::shared_ptr<SoundPlayer> current();
    static void setCurrent(std::shared_ptr<SoundPlayer> player);
};

}  // namespace desktop
