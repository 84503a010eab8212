#include "HotKeyCenter.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>

#include <xcb/xcb.h>
// xcb's XKB header names a field "explicit", a C++ keyword.
#define explicit xkb_explicit
#include <xcb/xkb.h>
#undef explicit
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "KeyboardLayout.h"
#include "X11SystemHotKeys.h"

namespace desktop {

namespace {

constexpr uint32_t kCmdKey = 0x100, kShiftKey = 0x200, kOptionKey = 0x800, kControlKey = 0x1000;
constexpr uint16_t kShiftMask = XCB_MOD_MASK_SHIFT, kLockMask = XCB_MOD_MASK_LOCK, kControlMask = XCB_MOD_MASK_CONTROL;
constexpr uint16_t kCoreModifiers = 0xff;

// The Qt key a keysym's key stands for, enough for a recorder to tell Tab,
// Delete and Escape from the keys it stores.
int qtKeyOfKeysym(xkb_keysym_t keysym) {
    if (keysym >= XKB_KEY_a && keysym <= XKB_KEY_z) return Qt::Key_A + static_cast<int>(keysym - XKB_KEY_a);
    if (keysym >= 0x20 && keysym <= 0x7e) return static_cast<int>(keysym);
    if (keysym >= XKB_KEY_F1 && keysym <= XKB_KEY_F35) return Qt::Key_F1 + static_cast<int>(keysym - XKB_KEY_F1);
    switch (keysym) {
    case XKB_KEY_Return: return Qt::Key_Return;
    case XKB_KEY_Tab: return Qt::Key_Tab;
    case XKB_KEY_BackSpace: return Qt::Key_Backspace;
    case XKB_KEY_Delete: return Qt::Key_Delete;
    case XKB_KEY_Escape: return Qt::Key_Escape;
    default: return Qt::Key_unknown;
    }
}

}  // namespace

class HotKeyCenter::Impl : public QAbstractNativeEventFilter {
public:
    Impl(xcb_connection_t* connection, xcb_window_t root) : connection_(connection), root_(root) {
        context_ = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
        uint8_t firstError = 0;
        if (xkb_x11_setup_xkb_extension(connection_, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                        XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, &xkbFirstEvent_,
                                        &firstError)) {
            device_ = xkb_x11_get_core_keyboard_device_id(connection_);
            // A held key repeats as presses alone, so one press is one action.
            free(xcb_xkb_per_client_flags_reply(
                connection_,
                xcb_xkb_per_client_flags(connection_, XCB_XKB_ID_USE_CORE_KBD,
                                         XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT,
                                         XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT, 0, 0, 0),
                nullptr));
        }
        readKeymap();
        QCoreApplication::instance()->installNativeEventFilter(this);
    }

    ~Impl() override {
        xkb_keymap_unref(keymap_);
        xkb_context_unref(context_);
    }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
        if (eventType != "xcb_generic_event_t") return false;
        auto* event = static_cast<xcb_generic_event_t*>(message);
        uint8_t type = event->response_type & 0x7f;
        if (type == XCB_KEY_PRESS) return keyPressed(*reinterpret_cast<xcb_key_press_event_t*>(event));
        if (type == XCB_KEY_RELEASE) return keyReleased(*reinterpret_cast<xcb_key_release_event_t*>(event));
        if (type == XCB_MAPPING_NOTIFY) {
            scheduleRefresh();
        } else if (xkbFirstEvent_ != 0 && type == xkbFirstEvent_) {
            uint8_t xkbType = reinterpret_cast<const uint8_t*>(event)[1];
            if (xkbType == XCB_XKB_NEW_KEYBOARD_NOTIFY || xkbType == XCB_XKB_MAP_NOTIFY) scheduleRefresh();
        }
        return false;  // Qt reads keymap changes too
    }

    int32_t registerHotKey(uint32_t keyCode, uint32_t carbonFlags, HotKeyID id, Ref* ref) {
        Registration registration{keyCode, carbonFlags, id};
        if (!resolve(registration)) return kEventHotKeyInvalidErr;
        if (!grab(registration.keycode, registration.mask)) return kEventHotKeyExistsErr;
        registration.grabbed = true;
        Ref made = nextRef_++;
        registrations_.emplace(made, registration);
        if (ref) *ref = made;
        return kNoErr;
    }

    int32_t unregisterHotKey(Ref ref) {
        auto it = registrations_.find(ref);
        if (it == registrations_.end()) return kEventHotKeyInvalidErr;
        if (it->second.grabbed) ungrab(it->second.keycode, it->second.mask);
        registrations_.erase(it);
        return kNoErr;
    }

    size_t liveRegistrationCount() const {
        size_t count = 0;
        for (const auto& [ref, registration] : registrations_) count += registration.grabbed;
        return count;
    }

    Handler handler_;
    std::function<QObject*()> keyEventTarget_;
    size_t keymapGeneration_ = 0;

private:
    struct Registration {
        uint32_t keyCode;
        uint32_t carbonFlags;
        HotKeyID id;
        uint32_t keycode = 0;
        uint16_t mask = 0;
        bool grabbed = false;
    };

    // The keymap and the modifiers Alt, Super and Num Lock sit on, as the server has them now.
    void readKeymap() {
        ++keymapGeneration_;
        if (device_ >= 0) {
            if (xkb_keymap* keymap =
                    xkb_x11_keymap_new_from_device(context_, connection_, device_, XKB_KEYMAP_COMPILE_NO_FLAGS)) {
                xkb_keymap_unref(keymap_);
                keymap_ = keymap;
            }
        }
        altMask_ = superMask_ = numLockMask_ = 0;
        xcb_get_modifier_mapping_reply_t* reply =
            xcb_get_modifier_mapping_reply(connection_, xcb_get_modifier_mapping(connection_), nullptr);
        if (reply && keymap_) {
            const xcb_keycode_t* keycodes = xcb_get_modifier_mapping_keycodes(reply);
            int perModifier = reply->keycodes_per_modifier;
            // Shift, Lock and Control are fixed; the five others carry whatever the mapping puts there.
            for (int modifier = 3; modifier < 8; ++modifier) {
                for (int i = 0; i < perModifier; ++i) {
                    xcb_keycode_t keycode = keycodes[modifier * perModifier + i];
                    if (keycode == 0) continue;
                    auto bit = static_cast<uint16_t>(1 << modifier);
                    for (xkb_keysym_t keysym : keysymsOf(keycode)) {
                        if (keysym == XKB_KEY_Alt_L || keysym == XKB_KEY_Alt_R) altMask_ = altMask_ ? altMask_ : bit;
                        if (keysym == XKB_KEY_Super_L || keysym == XKB_KEY_Super_R)
                            superMask_ = superMask_ ? superMask_ : bit;
                        if (keysym == XKB_KEY_Num_Lock) numLockMask_ = numLockMask_ ? numLockMask_ : bit;
                    }
                }
            }
        }
        free(reply);
        // The usual places when the mapping names none.
        if (!altMask_) altMask_ = XCB_MOD_MASK_1;
        if (!superMask_) superMask_ = XCB_MOD_MASK_4;
    }

    std::vector<xkb_keysym_t> keysymsOf(xcb_keycode_t keycode) const {
        std::vector<xkb_keysym_t> keysyms;
        xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap_, keycode, 0);
        for (xkb_level_index_t level = 0; level < levels; ++level) {
            const xkb_keysym_t* syms = nullptr;
            int count = xkb_keymap_key_get_syms_by_level(keymap_, keycode, 0, level, &syms);
            keysyms.insert(keysyms.end(), syms, syms + count);
        }
        return keysyms;
    }

    bool resolve(Registration& registration) const {
        std::string_view name = KeyboardLayout::keyNameForKeyCode(registration.keyCode);
        if (name.empty() || !keymap_) return false;
        xkb_keycode_t keycode = xkb_keymap_key_by_name(keymap_, std::string(name).c_str());
        if (keycode == XKB_KEYCODE_INVALID || keycode > 255) return false;
        registration.keycode = keycode;
        uint16_t mask = 0;
        if (registration.carbonFlags & kShiftKey) mask |= kShiftMask;
        if (registration.carbonFlags & kCmdKey) mask |= kControlMask;
        if (registration.carbonFlags & kOptionKey) mask |= altMask_;
        if (registration.carbonFlags & kControlKey) mask |= superMask_;
        registration.mask = mask;
        return true;
    }

    // The combination with and without Caps Lock and Num Lock.
    std::vector<uint16_t> variants(uint16_t mask) const {
        std::set<uint16_t> masks{mask, static_cast<uint16_t>(mask | kLockMask),
                                 static_cast<uint16_t>(mask | numLockMask_),
                                 static_cast<uint16_t>(mask | kLockMask | numLockMask_)};
        return {masks.begin(), masks.end()};
    }

    bool grab(uint32_t keycode, uint16_t mask) {
        int& count = grabCounts_[{keycode, mask}];
        if (count > 0) {
            ++count;
            return true;
        }
        std::vector<uint16_t> masks = variants(mask);
        std::vector<xcb_void_cookie_t> cookies;
        for (uint16_t variant : masks) {
            // owner_events 0: a press arrives here even while one of our windows has the focus.
            cookies.push_back(xcb_grab_key_checked(connection_, 0, root_, variant, static_cast<xcb_keycode_t>(keycode),
                                                   XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        }
        std::vector<uint16_t> granted;
        bool refused = false;
        for (size_t i = 0; i < cookies.size(); ++i) {
            if (xcb_generic_error_t* error = xcb_request_check(connection_, cookies[i])) {
                refused = true;  // BadAccess: another client holds it; BadValue: no such keycode
                free(error);
            } else {
                granted.push_back(masks[i]);
            }
        }
        if (refused) {
            for (uint16_t variant : granted)
                xcb_ungrab_key(connection_, static_cast<xcb_keycode_t>(keycode), root_, variant);
            xcb_flush(connection_);
            grabCounts_.erase({keycode, mask});
            return false;
        }
        for (uint16_t variant : masks) X11SystemHotKeys::noteOwnGrab(keycode, variant);
        count = 1;
        return true;
    }

    void ungrab(uint32_t keycode, uint16_t mask) {
        auto it = grabCounts_.find({keycode, mask});
        if (it == grabCounts_.end() || --it->second > 0) return;
        grabCounts_.erase(it);
        for (uint16_t variant : variants(mask)) {
            xcb_ungrab_key(connection_, static_cast<xcb_keycode_t>(keycode), root_, variant);
            X11SystemHotKeys::noteOwnUngrab(keycode, variant);
        }
        xcb_flush(connection_);
        held_.erase(keycode);
    }

    // The newest live registration of a pressed combination.
    const Registration* registrationFor(uint32_t keycode, uint16_t state) const {
        auto mask = static_cast<uint16_t>(state & kCoreModifiers & ~(kLockMask | numLockMask_));
        for (auto it = registrations_.rbegin(); it != registrations_.rend(); ++it) {
            const Registration& registration = it->second;
            if (registration.grabbed && registration.keycode == keycode && registration.mask == mask)
                return &registration;
        }
        return nullptr;
    }

    bool keyPressed(const xcb_key_press_event_t& press) {
        if (press.event != root_) return false;
        const Registration* registration = registrationFor(press.detail, press.state);
        if (!registration) return false;
        if (!held_.insert(press.detail).second) return true;  // the key repeats while held
        if (QObject* target = keyEventTarget_ ? keyEventTarget_() : nullptr) {
            postKeyEvent(target, QEvent::KeyPress, press.detail, press.state);
            recordingKeys_.insert(press.detail);
            return true;
        }
        HotKeyEvent hotKeyEvent;
        hotKeyEvent.hotKeyID = registration->id;
        if (handler_) handler_(hotKeyEvent);
        return true;
    }

    bool keyReleased(const xcb_key_release_event_t& release) {
        if (release.event != root_ || !held_.erase(release.detail)) return false;
        if (recordingKeys_.erase(release.detail)) {
            if (QObject* target = keyEventTarget_ ? keyEventTarget_() : nullptr)
                postKeyEvent(target, QEvent::KeyRelease, release.detail, release.state);
        }
        return true;
    }

    void postKeyEvent(QObject* target, QEvent::Type type, xcb_keycode_t keycode, uint16_t state) {
        xkb_keysym_t keysym = XKB_KEY_NoSymbol;
        if (keymap_) {
            const xkb_keysym_t* syms = nullptr;
            if (xkb_keymap_key_get_syms_by_level(keymap_, keycode, 0, 0, &syms) == 1) keysym = syms[0];
        }
        Qt::KeyboardModifiers modifiers;
        if (state & kShiftMask) modifiers |= Qt::ShiftModifier;
        if (state & kControlMask) modifiers |= Qt::ControlModifier;
        if (state & altMask_) modifiers |= Qt::AltModifier;
        if (state & superMask_) modifiers |= Qt::MetaModifier;
        // Posted, not sent: the recorder may open an alert, which must not run inside this filter.
        QCoreApplication::postEvent(target, new QKeyEvent(type, qtKeyOfKeysym(keysym), modifiers, keycode, keysym,
                                                          state, QString(), false));
    }

    // Keymap announcements come in bursts; one refresh answers them all.
    void scheduleRefresh() {
        if (refreshPending_) return;
        refreshPending_ = true;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [this] {
                refreshPending_ = false;
                refresh();
            },
            Qt::QueuedConnection);
    }

    // Every registration is resolved again and grabbed where its key now sits.
    void refresh() {
        for (auto& [ref, registration] : registrations_) {
            if (registration.grabbed) ungrab(registration.keycode, registration.mask);
            registration.grabbed = false;
        }
        held_.clear();
        recordingKeys_.clear();
        readKeymap();
        for (auto& [ref, registration] : registrations_) {
            registration.grabbed = resolve(registration) && grab(registration.keycode, registration.mask);
        }
    }

    xcb_connection_t* connection_;
    xcb_window_t root_;
    xkb_context* context_ = nullptr;
    xkb_keymap* keymap_ = nullptr;
    int32_t device_ = -1;
    uint8_t xkbFirstEvent_ = 0;
    uint16_t altMask_ = XCB_MOD_MASK_1;
    uint16_t superMask_ = XCB_MOD_MASK_4;
    uint16_t numLockMask_ = 0;
    std::map<Ref, Registration> registrations_;  // in order of registration
    Ref nextRef_ = 1;
    std::map<std::pair<uint32_t, uint16_t>, int> grabCounts_;
    std::set<uint32_t> held_;           // keycodes of grabbed presses not yet released
    std::set<uint32_t> recordingKeys_;  // those of them handed to the key-event target
    bool refreshPending_ = false;
};

HotKeyCenter* HotKeyCenter::shared() {
    static HotKeyCenter* center = nullptr;
    if (center) return center;
    auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    auto* x11 = application ? application->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection) return nullptr;
    int displayNumber = 0, screenNumber = 0;
    if (char* host = nullptr; xcb_parse_display(nullptr, &host, &displayNumber, &screenNumber)) free(host);
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem > 1; ++i) xcb_screen_next(&screens);
    if (!screens.rem) return nullptr;
    // Lives as long as the process: grabs go with the connection.
    center = new HotKeyCenter(std::make_unique<Impl>(connection, screens.data->root));
    return center;
}

HotKeyCenter::HotKeyCenter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
HotKeyCenter::~HotKeyCenter() = default;

void HotKeyCenter::setHandler(Handler handler) { impl_->handler_ = std::move(handler); }

void HotKeyCenter::setKeyEventTarget(std::function<QObject*()> target) { impl_->keyEventTarget_ = std::move(target); }

int32_t HotKeyCenter::registerHotKey(uint32_t keyCode, uint32_t carbonFlags, HotKeyID id, Ref* ref) {
    return impl_->registerHotKey(keyCode, carbonFlags, id, ref);
}

int32_t HotKeyCenter::unregisterHotKey(Ref ref) { return impl_->unregisterHotKey(ref); }

size_t HotKeyCenter::liveRegistrationCount() const { return impl_->liveRegistrationCount(); }

size_t HotKeyCenter::keymapGeneration() const { return impl_->keymapGeneration_; }

}  // namespace desktop
