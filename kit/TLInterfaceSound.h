#pragma once
// The interface sounds, played only while the settings suite's
// "TLUserDefaultsPlaySounds" is on. Any thread.
//
// Each sound is a bundle resource of its name: "caf" as named, or one of the
// formats the desktop's sound server plays ("wav", "oga"). It is loaded into the
// sound player the first time it plays and reused after, never loaded per play.

#include <string>

class TLInterfaceSound {
public:
    static void saved();    // "Paste"
    static void tavlo();    // "Tavlo"
    static void error();    // "Error"
    static void success();  // "Success"
    static void beep();     // "Beep"

    // Plays the named sound; a missing resource plays nothing.
    static void playSoundWithName(const std::string& name);
};
