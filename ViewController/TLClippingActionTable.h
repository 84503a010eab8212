#pragma once
// What the clippings panel does for each input, in one place: a double-click,
// an Alt-click or Return with the action code the General preferences stored
// for it, and every key the panel binds. The table decides and the panel
// carries the decision out, so the whole matrix is testable without widgets.
//
// Action codes: 0 none, 1 preview, 2 copy, 3 copy and paste, 4 copy as plain
// text, 5 that and paste, 6 the Copy As menu, 7 the Paste As menu, 8 open the
// link. The General pane offers "Paste in App" for double-click as code 9,
// which acts as 3. Double-click carries every code out as Alt-click does.
//
// After an action a code selects, the window closes when the closing setting
// is on, unless the code is 1, 6 or 7 (0 and unknown codes close it too).
//
// Modifier words are KeyEvent's: Ctrl is Command, Alt is Option, Super is
// Control. Any thread (it holds no state).
#include <cstdint>

namespace desktop {
class KeyEvent;
}

class TLClippingActionTable {
public:
    static constexpr double kPreviewDelay = 0.1;
    static constexpr double kDeleteAfterReturnDelay = 1.0;
    // Super+Ctrl+Alt with Return deletes the copied or pasted selection.
    static constexpr uint64_t kDeletingReturnModifiers = 0x1C0000;

    enum class Input { DoubleClick, OptionClick, Return };

    enum class Operation {
        None,            // nothing in the panel
        Preview,         // the detail popover at the row, kPreviewDelay later
        Copy,            // the selection onto the clipboard
        Paste,           // copy, then paste into the window before ours
        CopyPlainText,   // the selection's text alone onto the clipboard
        PastePlainText,  // that, then paste
        CopyAsMenu,
        PasteAsMenu,
        OpenURL,
        PassOn,          // the key goes on to the window (Return only)
    };

    struct Action {
        Operation operation = Operation::None;
        // A paste script must be installed; without one the missing-script
        // sheet shows and nothing else happens (the window stays).
        bool needsPasteScript = false;
        // The window closes after the operation.
        bool closesWindow = false;
        // The selection is deleted kDeleteAfterReturnDelay later.
        bool deletesSelectionLater = false;
        bool operator==(const Action&) const = default;
    };

    // The settings key holding the code for the input; Return's follows the
    // exact modifiers: Super, Ctrl, Alt, else the plain Return's.
    static const char* settingsKey(Input input, uint64_t modifierFlags = 0);
    static bool closingRuleCloses(int64_t code, bool closesWindowSetting);
    static Action action(Input input, int64_t code, bool closesWindowSetting, uint64_t modifierFlags = 0);

    // --- Keys.
    enum class Key {
        None,           // swallowed: nothing happens
        PassOn,         // the panel does not take it (the window may)
        Beep,
        SelectAll,
        Copy,
        Find,
        NextRow,
        PreviousRow,
        NewTextClipping,
        ListsMenu,
        ListMenu,       // rename or delete the list on show
        Merge,
        OpenURL,
        Sync,
        Paste,
        ToggleAttach,
        CopyAsMenu,
        AddToListMenu,
        NewList,
        Share,
        Delete,
        Escape,
        Space,
        Return,
        CopyRow,        // number: the row
        ChooseList,     // number: 0 the whole history, n the n-th list by name
        StartSearch,    // a bare digit: the search opens with it
        TypeToSearch,   // the key's characters go into the search
        MoveUp,         // Ctrl+Up within a list
        MoveDown,
    };

    struct KeyCommand {
        Key key = Key::None;
        int number = 0;
        bool operator==(const KeyCommand&) const = default;
    };

    // What the panel holds when a key comes.
    struct PanelState {
        bool searching = false;
        int selectedCount = 0;
        bool listShown = false;
    };

    // The command of a key pressed in the table.
    static KeyCommand commandForKey(const desktop::KeyEvent& key, const PanelState& state);
    // Ctrl+Up or Ctrl+Down from either Ctrl key, nothing else (a keypad arrow
    // is no match), which the table asks before its own keys: MoveUp, MoveDown
    // or PassOn.
    static KeyCommand moveCommandForKey(const desktop::KeyEvent& key);
};
