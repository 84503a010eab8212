#pragma once
// A chooser of files or folders shown as a sheet on a window: Qt's own file
// dialog (not the desktop's), so it behaves the same under every desktop and
// can be driven by tests. Set it up, then begin it; the completion runs once
// with kOK and URLs() filled, or with kCancel.
//
// Tests install a driver that answers every panel instead of showing it: it
// sees the panel as it was set up and returns the chosen paths, or nothing
// for a cancel. The answer arrives on the main queue, as a person's would,
// never inside beginSheetModalForWindow(). Main thread.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QWidget;

namespace desktop {

class OpenPanel {
public:
    static constexpr int kCancel = 0;
    static constexpr int kOK = 1;
    using Completion = std::function<void(int response)>;
    using Paths = std::vector<std::filesystem::path>;
    // Answers a panel: the paths chosen, or nothing to cancel.
    using Driver = std::function<std::optional<Paths>(const OpenPanel& panel)>;

    OpenPanel();
    ~OpenPanel();
    OpenPanel(const OpenPanel&) = delete;
    OpenPanel& operator=(const OpenPanel&) = delete;

    bool canChooseFiles() const { return canChooseFiles_; }
    void setCanChooseFiles(bool on) { canChooseFiles_ = on; }
    bool canChooseDirectories() const { return canChooseDirectories_; }
    void setCanChooseDirectories(bool on) { canChooseDirectories_ = on; }
    bool allowsMultipleSelection() const { return allowsMultipleSelection_; }
    void setAllowsMultipleSelection(bool on) { allowsMultipleSelection_ = on; }
    // The folder the panel opens in.
    const std::filesystem::path& directoryURL() const { return directory_; }
    void setDirectoryURL(std::filesystem::path folder) { directory_ = std::move(folder); }
    // File name patterns the files shown match ("*.desktop"); empty: every file.
    const std::vector<std::string>& allowedFilePatterns() const { return patterns_; }
    void setAllowedFilePatterns(std::vector<std::string> patterns) { patterns_ = std::move(patterns); }
    // Folders offered beside the file list for a quick jump.
    const Paths& sidebarURLs() const { return sidebar_; }
    void setSidebarURLs(Paths folders) { sidebar_ = std::move(folders); }
    // The title of the choosing button, and a line saying what to choose.
    const std::string& prompt() const { return prompt_; }
    void setPrompt(std::string text) { prompt_ = std::move(text); }
    const std::string& message() const { return message_; }
    void setMessage(std::string text) { message_ = std::move(text); }

    // What was chosen, once the completion ran with kOK.
    const Paths& URLs() const { return urls_; }

    // Returns at once; completion runs on the main queue when the panel ends.
    void beginSheetModalForWindow(QWidget* window, Completion completion);
    bool isShowing() const { return showing_; }
    // The dialog while one shows (never with a driver).
    QWidget* dialog() const;

    // Every panel begun afterwards goes to driver (null: shown to the user).
    static void setDriver(Driver driver);
    // The panels begun so far since the driver was set, the last one last.
    static int panelsBegun();

private:
    void end(std::optional<Paths> chosen);

    bool canChooseFiles_ = true;
    bool canChooseDirectories_ = false;
    bool allowsMultipleSelection_ = false;
    std::filesystem::path directory_;
    std::vector<std::string> patterns_;
    Paths sidebar_;
    std::string prompt_;
    std::string message_;
    Paths urls_;
    bool showing_ = false;
    Completion completion_;
    struct Dialog;
    std::unique_ptr<Dialog> dialog_;
    // Cleared when the panel goes, so an answer still queued finds nothing to end.
    std::shared_ptr<OpenPanel*> self_;
};

}  // namespace desktop
