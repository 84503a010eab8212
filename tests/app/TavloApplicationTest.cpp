// Tavlo's application object with the crash kit started in this process as
// start-up starts it: a kit exception that escapes an event handler reaches
// the reporter the kit put in place, which records it as a crash record of
// this launch, and the program runs on.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>

#include "app/TavloApplication.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"
#include "sdk/beacon/BCNKitRegistry.h"
#include "sdk/blackbox/BBXApplicationHooks.h"
#include "sdk/blackbox/BBXContext.h"
#include "sdk/blackbox/BBXCrashReportingController.h"
#include "sdk/blackbox/BBXException.h"
#include "sdk/blackbox/BBXFile.h"
#include "sdk/blackbox/BBXInternalReport.h"
#include "sdk/blackbox/Blackbox.h"
#include "tests/support/RecordingSystemLog.h"
#include "tests/support/TempHome.h"

namespace {

namespace fs = std::filesystem;
using foundation::PlistValue;
using Dictionary = PlistValue::Dictionary;

// Throws the kit's test exception from its handler of user events.
class Thrower : public QObject {
public:
    int handled = 0;
    bool event(QEvent* event) override {
        if (event->type() != QEvent::User) return QObject::event(event);
        ++handled;
        Blackbox::sharedInstance()->throwException();
        return true;
    }
};

// Starts the crash kit for a fixture bundle with a key, "NSApplicationCrashOnExceptions"
// set as given before the start; the kit's reporting controller.
std::shared_ptr<BBXCrashReportingController> startKit(const testsupport::TempHome& home, bool crashOnExceptions) {
    auto folder = home.root() / "Fixture.app";
    fs::create_directories(folder / "Contents");
    PlistValue info = Dictionary{{"CFBundleIdentifier", "org.example.fixture"},
                                 {"Beacon", Dictionary{{"APIKey", "fixture-key"}}}};
    std::ofstream(folder / "Contents/Info.plist") << foundation::PropertyList::writeXML(info).value();
    foundation::Bundle::setMainBundlePath(folder);
    foundation::UserDefaults::standard()->setBool(crashOnExceptions, "NSApplicationCrashOnExceptions");
    Blackbox::registerKitClass(BCNKitRegistry::shared());
    Blackbox::initializeIfNeeded();
    for (int wait = 0; wait < 1000 && !BBXContextIsInitialized(); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return BBXContextIsInitialized() ? Blackbox::sharedInstance()->crashReportingController() : nullptr;
}

TEST(TavloApplicationTest, AKitExceptionEscapingAnEventHandlerIsRecordedAndTheProgramRunsOn) {
    testsupport::TempHome home;
    testsupport::RecordingSystemLog::Scope log;
    // As start-up does, set before the kits start.
    auto controller = startKit(home, true);
    ASSERT_TRUE(controller);
    auto report = controller->currentReport();
    ASSERT_TRUE(report);

    Thrower thrower;
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QCoreApplication::processEvents();
    ASSERT_EQ(thrower.handled, 1);

    auto record = BBXFileReadSections((report->path() + "/exception.bbxrecord").c_str(), false);
    ASSERT_TRUE(record && !record->empty());
    const auto& fields = *(*record)[0].asDictionary()->at("exception").asDictionary();
    EXPECT_EQ(*fields.at("type").asString(), "objective-c");
    EXPECT_EQ(*fields.at("name").asString(), BBXHexEncodeCString("BlackboxTestException"));
    EXPECT_EQ(*fields.at("reason").asString(),
              BBXHexEncodeCString("This is an Objective-C exception using for testing."));
    bool processRecorded = false;
    for (const auto& section : *record) processRecorded = processRecorded || section.asDictionary()->count("threads");
    EXPECT_TRUE(processRecorded);
    // The application's own reporter still heard of it, after the record.
    EXPECT_TRUE(log->contains("BlackboxTestException: This is an Objective-C exception using for testing."));

    // The event loop goes on delivering.
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QCoreApplication::processEvents();
    EXPECT_EQ(thrower.handled, 2);
    controller->operationQueue()->waitUntilAllOperationsAreFinished();
}

// Without the setting the application keeps its own reporter, and the kit's
// set-up check says why exceptions go unrecorded.
TEST(TavloApplicationTest, WithoutCrashOnExceptionsTheApplicationKeepsItsReporterAndTheKitWarns) {
    testsupport::TempHome home;
    testsupport::RecordingSystemLog::Scope log;
    auto controller = startKit(home, false);
    ASSERT_TRUE(controller);
    EXPECT_EQ(BBXApplicationReporter(kBBXApplicationClassName), &TavloApplication::reportException);
    BBXExceptionWarnAboutSetup();
    EXPECT_TRUE(log->contains("[Blackbox:Crash] Warning: NSApplicationCrashOnExceptions is not set. This will result "
                              "in poor top-level uncaught exception reporting."));

    Thrower thrower;
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QCoreApplication::processEvents();
    EXPECT_EQ(thrower.handled, 1);
    EXPECT_TRUE(log->contains("BlackboxTestException: This is an Objective-C exception using for testing."));
    EXPECT_FALSE(fs::exists(controller->currentReport()->path() + "/exception.bbxrecord"));
    controller->operationQueue()->waitUntilAllOperationsAreFinished();
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::unique_ptr<TavloApplication> application;
    if (!::testing::GTEST_FLAG(list_tests)) application = std::make_unique<TavloApplication>(argc, argv);
    return RUN_ALL_TESTS();
}
