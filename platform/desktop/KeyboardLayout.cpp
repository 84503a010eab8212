#include "KeyboardLayout.h"

#include <QChar>
#include <QString>

#include <xcb/xcb.h>
// xcb's XKB header names a field "explicit", a C++ keyword.
#define explicit xkb_explicit
#include <xcb/xkb.h>
#undef explicit
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <array>
#include <cstdlib>

namespace desktop {

namespace {

// XKB key names by US virtual key code. Codes without a PC key stay empty.
// Command is Ctrl and Control is Super here, for their keys as for their flags.
constexpr std::array<std::string_view, 128> kKeyNames = {
    "AC01", "AC02", "AC03", "AC04", "AC06", "AC05", "AB01", "AB02",  // 0: A S D F H G Z X
    "AB03", "AB04", "LSGT", "AB05", "AD01", "AD02", "AD03", "AD04",  // 8: C V § B Q W E R
    "AD06", "AD05", "AE01", "AE02", "AE03", "AE04", "AE06", "AE05",  // 16: Y T 1 2 3 4 6 5
    "AE12", "AE09", "AE07", "AE11", "AE08", "AE10", "AD12", "AD09",  // 24: = 9 7 - 8 0 ] O
    "AD07", "AD11", "AD08", "AD10", "RTRN", "AC09", "AC07", "AC11",  // 32: U [ I P Return L J '
    "AC08", "AC10", "BKSL", "AB08", "AB10", "AB06", "AB07", "AB09",  // 40: K ; \ , / N M .
    "TAB",  "SPCE", "TLDE", "BKSP", "",     "ESC",  "RCTL", "LCTL",  // 48: Tab Space ` Delete - Esc RCmd Cmd
    "LFSH", "CAPS", "LALT", "LWIN", "RTSH", "RALT", "RWIN", "",      // 56: Shift Caps Opt Ctrl RShift ROpt RCtrl fn
    "FK17", "KPDL", "",     "KPMU", "",     "KPAD", "",     "NMLK",  // 64: F17 KP. - KP* - KP+ - Clear
    "VOL+", "VOL-", "MUTE", "KPDV", "KPEN", "",     "KPSU", "FK18",  // 72: Vol+ Vol- Mute KP/ KPEnter - KP- F18
    "FK19", "KPEQ", "KP0",  "KP1",  "KP2",  "KP3",  "KP4",  "KP5",   // 80: F19 KP= KP0-KP5
    "KP6",  "KP7",  "FK20", "KP8",  "KP9",  "AE13", "AB11", "KPCO",  // 88: KP6 KP7 F20 KP8 KP9 Yen _ KP,
    "FK05", "FK06", "FK07", "FK03", "FK08", "FK09", "",     "FK11",  // 96: F5 F6 F7 F3 F8 F9 Eisu F11
    "",     "FK13", "FK16", "FK14", "",     "FK10", "MENU", "FK12",  // 104: Kana F13 F16 F14 - F10 Menu F12
    "",     "FK15", "INS",  "HOME", "PGUP", "DELE", "FK04", "END",   // 112: - F15 Help Home PgUp FwdDel F4 End
    "FK02", "PGDN", "FK01", "LEFT", "RGHT", "DOWN", "UP",   "",      // 120: F2 PgDn F1 Left Right Down Up
};

// A Latin layout writes ASCII letters on most letter positions; Cyrillic,
// Greek or Arabic ones write none.
constexpr std::array<std::string_view, 26> kLetterKeys = {
    "AD01", "AD02", "AD03", "AD04", "AD05", "AD06", "AD07", "AD08", "AD09", "AD10", "AC01", "AC02", "AC03",
    "AC04", "AC05", "AC06", "AC07", "AC08", "AC09", "AB01", "AB02", "AB03", "AB04", "AB05", "AB06", "AB07",
};
constexpr int kMinLatinLetters = 20;

// Labels show a dead key as the accent it puts on the next letter.
struct DeadKey {
    xkb_keysym_t keysym;
    char32_t spacing;
};
constexpr DeadKey kDeadKeys[] = {
    {XKB_KEY_dead_grave, U'`'},        {XKB_KEY_dead_acute, U'\u00B4'},      {XKB_KEY_dead_circumflex, U'^'},
    {XKB_KEY_dead_tilde, U'~'},        {XKB_KEY_dead_macron, U'\u00AF'},     {XKB_KEY_dead_breve, U'\u02D8'},
    {XKB_KEY_dead_abovedot, U'\u02D9'}, {XKB_KEY_dead_diaeresis, U'\u00A8'}, {XKB_KEY_dead_abovering, U'\u02DA'},
    {XKB_KEY_dead_doubleacute, U'\u02DD'}, {XKB_KEY_dead_caron, U'\u02C7'}, {XKB_KEY_dead_cedilla, U'\u00B8'},
    {XKB_KEY_dead_ogonek, U'\u02DB'},
};

char32_t characterOf(xkb_keysym_t keysym) {
    for (const DeadKey& dead : kDeadKeys) {
        if (dead.keysym == keysym) return dead.spacing;
    }
    return xkb_keysym_to_utf32(keysym);
}

bool isLabelCharacter(char32_t ch) {
    switch (QChar::category(ch)) {
    case QChar::Mark_NonSpacing: case QChar::Mark_SpacingCombining: case QChar::Mark_Enclosing:
    case QChar::Number_DecimalDigit: case QChar::Number_Letter: case QChar::Number_Other:
    case QChar::Letter_Uppercase: case QChar::Letter_Lowercase: case QChar::Letter_Titlecase:
    case QChar::Letter_Modifier: case QChar::Letter_Other:
    case QChar::Punctuation_Connector: case QChar::Punctuation_Dash: case QChar::Punctuation_Open:
    case QChar::Punctuation_Close: case QChar::Punctuation_InitialQuote: case QChar::Punctuation_FinalQuote:
    case QChar::Punctuation_Other:
    case QChar::Symbol_Math: case QChar::Symbol_Currency: case QChar::Symbol_Modifier: case QChar::Symbol_Other:
        return true;
    default:
        return false;
    }
}

xkb_keysym_t levelZeroKeysym(xkb_keymap* keymap, xkb_keycode_t keycode, xkb_layout_index_t group) {
    xkb_layout_index_t groups = xkb_keymap_num_layouts_for_key(keymap, keycode);
    if (groups == 0) return XKB_KEY_NoSymbol;
    // A key with fewer groups than the keymap (the keypad, Space) serves all of them from its first.
    if (group >= groups) group = 0;
    const xkb_keysym_t* syms = nullptr;
    int count = xkb_keymap_key_get_syms_by_level(keymap, keycode, group, 0, &syms);
    return count == 1 ? syms[0] : XKB_KEY_NoSymbol;
}

bool writesLatin(xkb_keymap* keymap, xkb_layout_index_t group) {
    int latin = 0;
    for (std::string_view name : kLetterKeys) {
        xkb_keycode_t keycode = xkb_keymap_key_by_name(keymap, std::string(name).c_str());
        if (keycode == XKB_KEYCODE_INVALID) continue;
        xkb_keysym_t keysym = levelZeroKeysym(keymap, keycode, group);
        if ((keysym >= XKB_KEY_a && keysym <= XKB_KEY_z) || (keysym >= XKB_KEY_A && keysym <= XKB_KEY_Z)) ++latin;
    }
    return latin >= kMinLatinLetters;
}

struct Current {
    std::mutex mutex;
    std::shared_ptr<KeyboardLayout> layout;
};

Current& currentSlot() {
    static Current slot;
    return slot;
}

}  // namespace

struct KeyboardLayout::Server {
    xcb_connection_t* connection = nullptr;
    int32_t device = -1;
    uint8_t firstEvent = 0;

    ~Server() {
        if (connection) xcb_disconnect(connection);
    }
};

std::string_view KeyboardLayout::keyNameForKeyCode(uint64_t keyCode) {
    return keyCode < kKeyNames.size() ? kKeyNames[keyCode] : std::string_view();
}

std::optional<uint64_t> KeyboardLayout::keyCodeForKeyName(std::string_view name) {
    if (name.empty()) return std::nullopt;
    for (size_t code = 0; code < kKeyNames.size(); ++code) {
        if (kKeyNames[code] == name) return code;
    }
    return std::nullopt;
}

KeyboardLayout::KeyboardLayout(xkb_context* context, xkb_keymap* keymap, uint32_t group)
    : context_(context), keymap_(keymap), activeGroup_(group) {
    if (keymap_) labelGroup_ = findLabelGroup();
}

KeyboardLayout::~KeyboardLayout() {
    xkb_keymap_unref(keymap_);
    xkb_context_unref(context_);
}

std::shared_ptr<KeyboardLayout> KeyboardLayout::fromNames(const std::string& layout, const std::string& variant,
                                                          const std::string& options) {
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    if (!context) return nullptr;
    xkb_rule_names names{"evdev", "pc105", layout.c_str(), variant.c_str(), options.c_str()};
    xkb_keymap* keymap = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (!keymap) {
        xkb_context_unref(context);
        return nullptr;
    }
    return std::shared_ptr<KeyboardLayout>(new KeyboardLayout(context, keymap, 0));
}

std::shared_ptr<KeyboardLayout> KeyboardLayout::fromKeymapText(const std::string& text) {
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    if (!context) return nullptr;
    xkb_keymap* keymap = xkb_keymap_new_from_string(context, text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                                    XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (!keymap) {
        xkb_context_unref(context);
        return nullptr;
    }
    return std::shared_ptr<KeyboardLayout>(new KeyboardLayout(context, keymap, 0));
}

std::shared_ptr<KeyboardLayout> KeyboardLayout::fromServer(const char* display) {
    auto server = std::make_unique<Server>();
    server->connection = xcb_connect(display, nullptr);
    if (xcb_connection_has_error(server->connection)) return nullptr;
    uint8_t firstError = 0;
    if (!xkb_x11_setup_xkb_extension(server->connection, XKB_X11_MIN_MAJOR_XKB_VERSION,
                                     XKB_X11_MIN_MINOR_XKB_VERSION, XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr,
                                     nullptr, &server->firstEvent, &firstError)) {
        return nullptr;
    }
    server->device = xkb_x11_get_core_keyboard_device_id(server->connection);
    if (server->device < 0) return nullptr;
    // New keymaps and group switches are announced; everything else is not asked for.
    constexpr uint16_t kEvents = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY |
                                 XCB_XKB_EVENT_TYPE_STATE_NOTIFY;
    xcb_xkb_select_events_details_t details{};
    details.affectState = XCB_XKB_STATE_PART_GROUP_STATE;
    details.stateDetails = XCB_XKB_STATE_PART_GROUP_STATE;
    xcb_void_cookie_t cookie = xcb_xkb_select_events_aux_checked(
        server->connection, server->device, kEvents, 0, 0, XCB_XKB_MAP_PART_KEY_SYMS | XCB_XKB_MAP_PART_KEY_TYPES,
        XCB_XKB_MAP_PART_KEY_SYMS | XCB_XKB_MAP_PART_KEY_TYPES, &details);
    if (xcb_generic_error_t* error = xcb_request_check(server->connection, cookie)) {
        free(error);
        return nullptr;
    }
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    if (!context) return nullptr;
    std::shared_ptr<KeyboardLayout> layout(new KeyboardLayout(context, nullptr, 0));
    layout->server_ = std::move(server);
    std::lock_guard lock(layout->mutex_);
    layout->refreshFromServer();
    if (!layout->keymap_) return nullptr;
    return layout;
}

void KeyboardLayout::refreshFromServer() {
    xkb_keymap* keymap =
        xkb_x11_keymap_new_from_device(context_, server_->connection, server_->device, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (!keymap) return;  // keep the keymap we have
    xkb_keymap_unref(keymap_);
    keymap_ = keymap;
    activeGroup_ = 0;
    if (xkb_state* state = xkb_x11_state_new_from_device(keymap_, server_->connection, server_->device)) {
        activeGroup_ = xkb_state_serialize_layout(state, XKB_STATE_LAYOUT_EFFECTIVE);
        xkb_state_unref(state);
    }
    labelGroup_ = findLabelGroup();
    texts_ = {};
}

std::shared_ptr<KeyboardLayout> KeyboardLayout::current() {
    Current& slot = currentSlot();
    std::lock_guard lock(slot.mutex);
    if (!slot.layout) {
        if (std::getenv("DISPLAY")) slot.layout = fromServer();
        if (!slot.layout) slot.layout = fromNames("us");
    }
    return slot.layout;
}

void KeyboardLayout::setCurrent(std::shared_ptr<KeyboardLayout> layout) {
    Current& slot = currentSlot();
    std::lock_guard lock(slot.mutex);
    slot.layout = std::move(layout);
}

uint32_t KeyboardLayout::findLabelGroup() const {
    if (writesLatin(keymap_, activeGroup_)) return activeGroup_;
    xkb_layout_index_t groups = xkb_keymap_num_layouts(keymap_);
    for (xkb_layout_index_t group = 0; group < groups; ++group) {
        if (group != activeGroup_ && writesLatin(keymap_, group)) return group;
    }
    return XKB_LAYOUT_INVALID;
}

void KeyboardLayout::pollServer() {
    // Reading the connection costs a system call; a layout switch shows in
    // labels asked for this long after it, which no one can type faster than.
    constexpr auto kPollInterval = std::chrono::milliseconds(20);
    auto now = std::chrono::steady_clock::now();
    if (now - lastPoll_ < kPollInterval) return;
    lastPoll_ = now;
    // Only the announcements asked for arrive on this connection; any of them means the keymap or group moved.
    bool changed = false;
    while (xcb_generic_event_t* event = xcb_poll_for_event(server_->connection)) {
        changed |= (event->response_type & 0x7f) == server_->firstEvent;
        free(event);
    }
    if (changed) refreshFromServer();
}

std::string KeyboardLayout::displayText(uint64_t keyCode) {
    std::lock_guard lock(mutex_);
    if (server_) pollServer();
    if (keyCode < texts_.size() && texts_[keyCode]) return *texts_[keyCode];
    std::string text = translate(keyCode);
    if (keyCode < texts_.size()) texts_[keyCode] = text;
    return text;
}

std::string KeyboardLayout::translate(uint64_t keyCode) const {
    std::string_view name = keyNameForKeyCode(keyCode);
    if (name.empty()) return {};
    xkb_keycode_t keycode = xkb_keymap_key_by_name(keymap_, std::string(name).c_str());
    if (keycode == XKB_KEYCODE_INVALID) return {};
    if (labelGroup_ == XKB_LAYOUT_INVALID) return {};
    char32_t ch = characterOf(levelZeroKeysym(keymap_, keycode, labelGroup_));
    if (ch == 0 || !isLabelCharacter(ch)) return {};
    return QString::fromUcs4(&ch, 1).toUpper().toStdString();
}

uint32_t KeyboardLayout::keycodeForKeyCode(uint64_t keyCode) {
    std::lock_guard lock(mutex_);
    std::string_view name = keyNameForKeyCode(keyCode);
    if (name.empty()) return 0;
    xkb_keycode_t keycode = xkb_keymap_key_by_name(keymap_, std::string(name).c_str());
    return keycode == XKB_KEYCODE_INVALID ? 0 : keycode;
}

std::optional<uint64_t> KeyboardLayout::keyCodeForKeycode(uint32_t keycode) {
    std::lock_guard lock(mutex_);
    const char* name = xkb_keymap_key_get_name(keymap_, keycode);
    if (!name) return std::nullopt;
    if (std::optional<uint64_t> code = keyCodeForKeyName(name)) return code;
    // The keymap may call the key by another of its names ("LMTA" for "LWIN").
    for (size_t code = 0; code < kKeyNames.size(); ++code) {
        if (!kKeyNames[code].empty() &&
            xkb_keymap_key_by_name(keymap_, std::string(kKeyNames[code]).c_str()) == keycode) {
            return code;
        }
    }
    return std::nullopt;
}

uint16_t KeyboardLayout::realModsOfKey(std::string_view keyName) const {
    xkb_keycode_t keycode = xkb_keymap_key_by_name(keymap_, std::string(keyName).c_str());
    if (keycode == XKB_KEYCODE_INVALID) return 0;
    xkb_state* state = xkb_state_new(keymap_);
    if (!state) return 0;
    xkb_state_update_key(state, keycode, XKB_KEY_DOWN);
    // xkbcommon numbers the eight core modifiers first, in X's order.
    auto mods = static_cast<uint16_t>(xkb_state_serialize_mods(state, XKB_STATE_MODS_DEPRESSED) & 0xff);
    xkb_state_unref(state);
    return mods;
}

uint16_t KeyboardLayout::modifierMaskForCarbonFlags(uint32_t carbonFlags) {
    constexpr uint32_t kCmdKey = 0x100, kShiftKey = 0x200, kOptionKey = 0x800, kControlKey = 0x1000;
    constexpr uint16_t kMod1Mask = 1 << 3, kMod4Mask = 1 << 6;
    std::lock_guard lock(mutex_);
    uint16_t mask = 0;
    if (carbonFlags & kShiftKey) mask |= kShiftMask;
    if (carbonFlags & kCmdKey) mask |= kControlMask;
    if (carbonFlags & kOptionKey) {
        uint16_t alt = realModsOfKey("LALT");
        mask |= alt ? alt : kMod1Mask;
    }
    if (carbonFlags & kControlKey) {
        uint16_t super = realModsOfKey("LWIN");
        mask |= super ? super : kMod4Mask;
    }
    return mask;
}

}  // namespace desktop
