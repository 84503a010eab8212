#pragma once
// Key combinations held system-wide by other programs, which a new hotkey
// would collide with. On X11 these are the keys another client (the window
// manager, the desktop's shortcut daemon, another tool) has grabbed on the
// root window. Main thread.

#include <cstdint>
#include <memory>

namespace desktop {

class SystemHotKeys {
public:
    virtual ~SystemHotKeys();

    // Whether another program holds the key at a US virtual key code with
    // Carbon modifier flags (cmdKey 0x100, shiftKey 0x200, optionKey 0x800,
    // controlKey 0x1000).
    virtual bool isTaken(uint64_t keyCode, uint32_t carbonFlags) = 0;

    // The X server's (null without X) unless replaced; tests hand in a fake.
    static std::shared_ptr<SystemHotKeys> current();
    static void setCurrent(std::shared_ptr<SystemHotKeys> hotKeys);
};

}  // namespace desktop
