// The open panel: a real file dialog set up as asked and answered by hand, and
// the driver that answers panels in tests, on the main queue.
#include <gtest/gtest.h>

#include <QFileDialog>
#include <QSplitter>
#include <QUrl>
#include <QWidget>

#include <filesystem>
#include <fstream>

#include "platform/desktop/OpenPanel.h"
#include "platform/dispatch/MainQueue.h"
#include "tests/support/TempHome.h"

namespace {

namespace fs = std::filesystem;
using desktop::OpenPanel;

// Runs the main queue until the work it queues has run too: blocks queued
// while Qt delivers the queue's events wait for the next delivery.
void settle() {
    for (int i = 0; i < 8; ++i) dispatch::MainQueue::runUntilIdle();
}

class OpenPanelTest : public ::testing::Test {
protected:
    void TearDown() override {
        OpenPanel::setDriver(nullptr);
        settle();
    }
    testsupport::TempHome home_;
};

TEST_F(OpenPanelTest, ADialogShowsAsSetUpAndItsChoiceReachesTheCompletionAfterItCloses) {
    fs::path folder = home_.root() / "apps";
    fs::create_directories(folder);
    std::ofstream(folder / "a.desktop") << "x";
    std::ofstream(folder / "b.desktop") << "x";
    QWidget window;
    window.show();
    OpenPanel panel;
    panel.setAllowsMultipleSelection(true);
    panel.setDirectoryURL(folder);
    panel.setAllowedFilePatterns({"*.desktop"});
    panel.setSidebarURLs({folder, home_.root()});
    panel.setPrompt("Add");
    std::vector<int> responses;
    panel.beginSheetModalForWindow(&window, [&](int response) { responses.push_back(response); });
    auto* dialog = qobject_cast<QFileDialog*>(panel.dialog());
    ASSERT_TRUE(dialog);
    EXPECT_TRUE(panel.isShowing());
    EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFiles);
    EXPECT_EQ(dialog->directory().absolutePath().toStdString(), folder.string());
    EXPECT_EQ(dialog->sidebarUrls().size(), 2);
    // Wide enough to read the folders' names.
    auto* splitter = dialog->findChild<QSplitter*>(QStringLiteral("splitter"));
    ASSERT_TRUE(splitter);
    EXPECT_GE(splitter->sizes().value(0), 150) << splitter->sizes().value(0);
    EXPECT_EQ(dialog->labelText(QFileDialog::Accept), "Add");
    EXPECT_TRUE(dialog->windowModality() == Qt::WindowModal);

    dialog->selectFile(QStringLiteral("\"a.desktop\" \"b.desktop\""));
    static_cast<QDialog*>(dialog)->accept();
    EXPECT_TRUE(responses.empty()) << "never inside the dialog's own call";
    settle();
    ASSERT_EQ(responses, std::vector<int>{OpenPanel::kOK});
    EXPECT_EQ(panel.URLs(), (OpenPanel::Paths{folder / "a.desktop", folder / "b.desktop"}));
    EXPECT_FALSE(panel.isShowing());
}

TEST_F(OpenPanelTest, AFolderChooserShowsFoldersOnlyAndACancelChoosesNothing) {
    QWidget window;
    OpenPanel panel;
    panel.setCanChooseFiles(false);
    panel.setCanChooseDirectories(true);
    panel.setDirectoryURL(home_.root());
    panel.setMessage("Please select the folder x");
    std::vector<int> responses;
    panel.beginSheetModalForWindow(&window, [&](int response) { responses.push_back(response); });
    auto* dialog = qobject_cast<QFileDialog*>(panel.dialog());
    ASSERT_TRUE(dialog);
    EXPECT_EQ(dialog->fileMode(), QFileDialog::Directory);
    EXPECT_TRUE(dialog->testOption(QFileDialog::ShowDirsOnly));
    EXPECT_EQ(dialog->windowTitle(), "Please select the folder x");
    dialog->reject();
    settle();
    EXPECT_EQ(responses, std::vector<int>{OpenPanel::kCancel});
    EXPECT_TRUE(panel.URLs().empty());
}

TEST_F(OpenPanelTest, TheDriverSeesThePanelAndAnswersOnTheMainQueueAndAPanelMayBeginAgainFromItsCompletion) {
    std::vector<std::string> prompts;
    bool cancel = false;
    OpenPanel::setDriver([&](const OpenPanel& panel) -> std::optional<OpenPanel::Paths> {
        prompts.push_back(panel.prompt());
        if (cancel) return std::nullopt;
        return OpenPanel::Paths{panel.directoryURL() / "chosen"};
    });
    OpenPanel panel;
    panel.setPrompt("Install Script");
    panel.setDirectoryURL("/somewhere");
    std::vector<int> responses;
    std::function<void(int)> completion = [&](int response) {
        responses.push_back(response);
        if (responses.size() == 1) {
            EXPECT_EQ(panel.URLs(), OpenPanel::Paths{"/somewhere/chosen"});
            cancel = true;
            panel.beginSheetModalForWindow(nullptr, completion);
        }
    };
    panel.beginSheetModalForWindow(nullptr, completion);
    EXPECT_TRUE(responses.empty());
    EXPECT_EQ(panel.dialog(), nullptr) << "nothing is shown";
    settle();
    EXPECT_EQ(responses, (std::vector<int>{OpenPanel::kOK, OpenPanel::kCancel}));
    EXPECT_EQ(prompts.size(), 2u);
    EXPECT_EQ(OpenPanel::panelsBegun(), 2);
}

TEST_F(OpenPanelTest, APanelThatGoesBeforeItsAnswerRunsNoCompletion) {
    OpenPanel::setDriver([](const OpenPanel&) { return std::optional<OpenPanel::Paths>(OpenPanel::Paths{"/x"}); });
    bool ran = false;
    {
        OpenPanel panel;
        panel.beginSheetModalForWindow(nullptr, [&](int) { ran = true; });
    }
    settle();
    EXPECT_FALSE(ran);
}

}  // namespace
