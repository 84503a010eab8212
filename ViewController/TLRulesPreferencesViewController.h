#pragma once
// The Rules tab of the preferences window: what becomes of what the user
// copies while a given application is in front (not saved, saved, or saved
// into a list), and the same for every other application (the default rule,
// row 0). Applications are added from their desktop entries; a rule names
// the application by its desktop-file id, as capture knows the application in
// front. Rules live in the settings suite under TLApplicationRules,
// TLDefaultRuleOption and TLDefaultListID, written at once. Main thread.
#include <QWidget>

#include <filesystem>
#include <memory>
#include <vector>

class List;
class QTableWidget;
class QToolButton;
class TLApplicationCellView;
namespace desktop {
class DesktopEntries;
class OpenPanel;
}
namespace store {
class Context;
}

class TLRulesPreferencesViewController : public QWidget {
public:
    static constexpr int kRowHeight = 48;
    // The options pop-up's items.
    static constexpr int kDoNotSaveItem = 0;
    static constexpr int kSaveItem = 2;
    static constexpr int kFirstListItem = 4;

    // context: the lists' context (main queue); null: the application's.
    explicit TLRulesPreferencesViewController(std::shared_ptr<store::Context> context = nullptr,
                                              QWidget* parent = nullptr);
    ~TLRulesPreferencesViewController() override;

    // Fetches the lists again and reloads the table; runs each time the pane shows.
    void viewWillAppear();

    QTableWidget* tableView() const { return tableView_; }
    QToolButton* addButton() const { return addButton_; }
    QToolButton* removeButton() const { return removeButton_; }
    const std::vector<std::shared_ptr<List>>& lists() const { return lists_; }
    // The row's cell, or null.
    TLApplicationCellView* cellAtRow(int row) const;

    // The add/remove control: segment 0 adds, 1 removes the selected rules.
    void controlClicked(int segment);
    void deleteSelectedRules();
    // Makes rules for the desktop entries at paths (what the chooser gave).
    void addApplications(const std::vector<std::filesystem::path>& paths);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void reloadData();
    void configureCell(TLApplicationCellView& cell, int row, const desktop::DesktopEntries& entries);
    void selectionDidChange();
    void updateDefaultRule(int index);
    void updateRule(size_t rule, int index);

    std::shared_ptr<store::Context> context_;
    QTableWidget* tableView_;
    QToolButton* addButton_;
    QToolButton* removeButton_;
    std::vector<std::shared_ptr<List>> lists_;
    std::unique_ptr<desktop::OpenPanel> panel_;
    std::shared_ptr<TLRulesPreferencesViewController*> self_;
};
