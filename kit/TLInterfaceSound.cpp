#include "TLInterfaceSound.h"

#include "platform/desktop/SoundPlayer.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/UserDefaults.h"

namespace {

constexpr const char* kPlaySoundsKey = "TLUserDefaultsPlaySounds";
const char* const kSoundTypes[] = {"caf", "wav", "oga"};

}  // namespace

void TLInterfaceSound::saved() {
    playSoundWithName("Paste");
}

void TLInterfaceSound::tavlo() {
    playSoundWithName("Tavlo");
}

void TLInterfaceSound::error() {
    playSoundWithName("Error");
}

void TLInterfaceSound::success() {
    playSoundWithName("Success");
}

void TLInterfaceSound::beep() {
    playSoundWithName("Beep");
}

void TLInterfaceSound::playSoundWithName(const std::string& name) {
    if (!foundation::UserDefaults::applicationGroup()->boolForKey(kPlaySoundsKey)) return;
    auto player = desktop::SoundPlayer::current();
    if (!player->isLoaded(name)) {
        auto bundle = foundation::Bundle::main();
        std::optional<std::filesystem::path> file;
        for (const char* type : kSoundTypes) {
            if ((file = bundle->pathForResource(name, type))) break;
        }
        if (!file || !player->load(name, *file)) return;
    }
    player->play(name);
}
