#include "SoundPlayer.h"

#include <mutex>

#include "CanberraSoundPlayer.h"

namespace desktop {

namespace {

std::mutex& currentMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<SoundPlayer>& currentPlayer() {
    static std::shared_ptr<SoundPlayer> player;
    return player;
}

}  // namespace

SoundPlayer::~SoundPlayer() = default;

std::shared_ptr<SoundPlayer> SoundPlayer::current() {
    std::lock_guard lock(currentMutex());
    if (!currentPlayer()) currentPlayer() = std::make_shared<CanberraSoundPlayer>();
    return currentPlayer();
}

void SoundPlayer::setCurrent(std::shared_ptr<SoundPlayer> player) {
    std::lock_guard lock(currentMutex());
    currentPlayer() = std::move(player);
}

}  // namespace desktop
