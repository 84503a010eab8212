#pragma once
// The General tab of the preferences window: start at login, the history
// limit, its order and what it shows, duplicates, what the browser's clicks,
// Return keys and drags do, and the paste helper. Every control is read from
// the settings suite each time the pane shows and writes through at once.
//
// Actions that paste into the application in front need the paste script;
// choosing one without it turns the choice back and offers to install the
// script, which the pane copies from the bundle into the scripts folder.
// Main thread.
#include <QWidget>

#include <filesystem>
#include <functional>
#include <memory>

#include "platform/foundation/Result.h"

class QCheckBox;
class QComboBox;
class QPushButton;
namespace desktop {
class Alert;
class OpenPanel;
}
namespace store {
class Context;
}

class TLGeneralPreferencesViewController : public QWidget {
public:
    // The action codes; an action pop-up's items carry them in this order.
    enum TLClippingAction : int64_t {
        None = 0,
        Preview = 1,
        Copy = 2,
        CopyAndPaste = 3,
        CopyPlainText = 4,
        CopyPlainTextAndPaste = 5,
        CopyAsMenu = 6,
        PasteAsMenu = 7,
        OpenURL = 8,
    };
    static bool needsPasteScript(int64_t code) {
        return code == CopyAndPaste || code == CopyPlainTextAndPaste || code == PasteAsMenu;
    }

    struct Environment {
        // The history's context (main queue); null: the application's.
        std::shared_ptr<store::Context> context;
        // Registers or unregisters the login item; null: desktop::LoginItem.
        std::function<foundation::Result<void>(const std::string& identifier, bool enabled)> setLoginItemEnabled;
        // Copies the bundle's paste script into folder; null: the kit's installer.
        std::function<foundation::Result<void>(const std::filesystem::path& folder)> installPasteScript;
    };

    explicit TLGeneralPreferencesViewController(Environment environment = {}, QWidget* parent = nullptr);
    ~TLGeneralPreferencesViewController() override;

    // Reads every key into the controls; runs each time the pane shows.
    void viewWillAppear();

    // The actions, one per control.
    void setStartAtLogin();
    void updateHistoryLimit();
    void updateHistorySorting();
    void updateHistoryListClippingVisiblility();
    void updateAllowsDuplicatesOption();
    void updatePasteUsingNumberedShortcuts();
    void updateDragOption();
    void updateDoubleClickOption();
    void updateOptionClickOption();
    void updateReturnKeyAction();
    void updateCommandReturnKeyAction();
    void updateOptionReturnKeyAction();
    void updateControlReturnKeyAction();
    void updateReturnKeyClosesWindow();
    void installScript();

    // The "Paste Helper required" sheet, whose button starts installScript().
    void showInstallScriptPrompt();
    void askToInstallScript();

    // The number of clippings in no list that a limit would leave out, past
    // the newest `limit` ones.
    static int64_t clippingsPastLimit(store::Context& context, int64_t limit);
    // The limits the history pop-up offers.
    static const std::vector<int64_t>& historyLimits();

    QCheckBox* startAtLoginButton() const { return startAtLoginButton_; }
    QCheckBox* showListClippingsButton() const { return showListClippingsButton_; }
    QCheckBox* allowDupeButton() const { return allowDupeButton_; }
    QCheckBox* pasteNumberedShortcuts() const { return pasteNumberedShortcuts_; }
    QCheckBox* closeWindowButton() const { return closeWindowButton_; }
    QComboBox* historyItemsButton() const { return historyItemsButton_; }
    QComboBox* historySortButton() const { return historySortButton_; }
    QComboBox* dragAndDropButton() const { return dragAndDropButton_; }
    QComboBox* doubleClickButton() const { return doubleClickButton_; }
    QComboBox* optionClickButton() const { return optionClickButton_; }
    QComboBox* returnKeyButton() const { return returnKeyButton_; }
    QComboBox* cmdReturnButton() const { return cmdReturnButton_; }
    QComboBox* optReturnButton() const { return optReturnButton_; }
    QComboBox* ctrlReturnButton() const { return ctrlReturnButton_; }
    QPushButton* installScriptButton() const { return installScriptButton_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void applyHistoryLimit(int64_t limit);
    void updateActionOption(QComboBox* button, const char* key);
    bool pasteScriptIsPresent() const;
    void showAlert(std::unique_ptr<desktop::Alert> alert, std::function<void(int)> completion);
    std::shared_ptr<store::Context> context() const;

    Environment environment_;
    QCheckBox* startAtLoginButton_;
    QCheckBox* showListClippingsButton_;
    QCheckBox* allowDupeButton_;
    QCheckBox* pasteNumberedShortcuts_;
    QCheckBox* closeWindowButton_;
    QComboBox* historyItemsButton_;
    QComboBox* historySortButton_;
    QComboBox* dragAndDropButton_;
    QComboBox* doubleClickButton_;
    QComboBox* optionClickButton_;
    QComboBox* returnKeyButton_;
    QComboBox* cmdReturnButton_;
    QComboBox* optReturnButton_;
    QComboBox* ctrlReturnButton_;
    QPushButton* installScriptButton_;
    bool loading_ = false;
    bool pasteInAppAdded_ = false;
    std::unique_ptr<desktop::Alert> alert_;  // the sheet shown last
    std::unique_ptr<desktop::OpenPanel> panel_;
    // Cleared when the pane goes, so a delayed sheet finds nothing to show on.
    std::shared_ptr<TLGeneralPreferencesViewController*> self_;
};
