// SIGTERM ends the application as its Quit command does: the event loop
// returns 0 and the store writes what an open update bracket held.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>

#include <signal.h>
#include <sqlite3.h>

#include "kit/Clipping.h"
#include "kit/TLDatabaseManager.h"
#include "platform/desktop/TerminationSignals.h"
#include "tests/support/TempHome.h"

namespace {

namespace fs = std::filesystem;

int countRows(const fs::path& database, const std::string& clippingID) {
    sqlite3* db = nullptr;
    int count = -1;
    if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT count(*) FROM Clipping WHERE clippingID = ?", -1, &statement, nullptr) ==
            SQLITE_OK) {
            sqlite3_bind_text(statement, 1, clippingID.c_str(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(statement) == SQLITE_ROW) count = sqlite3_column_int(statement, 0);
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return count;
}

TEST(TerminationTest, SigtermWithAnOpenUpdateBracketExitsZeroAndLosesNothing) {
    testsupport::TempHome home;
    fs::path container = home.dataHome() / "Tavlo";
    fs::create_directories(container);
    auto manager = std::make_shared<TLDatabaseManager>(
        TLDatabaseManager::Configuration{fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd", container, 2000});
    auto main = manager->managedObjectContext();
    manager->beginUpdates();
    auto clipping = std::static_pointer_cast<Clipping>(main->insertNewObject(Clipping::kEntityName));
    clipping->setClippingID("C-held");
    clipping->setText("held in the bracket");
    ASSERT_TRUE(main->save().ok());
    manager->parentManagedObjectContext()->performBlockAndWait([] {});
    ASSERT_EQ(countRows(container / "datastore", "C-held"), 0);

    ASSERT_TRUE(desktop::TerminationSignals::install([] { QCoreApplication::quit(); }));
    ASSERT_TRUE(manager->installTerminationHook());
    QTimer::singleShot(0, [] { ::raise(SIGTERM); });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_EQ(countRows(container / "datastore", "C-held"), 1);
}

}  // namespace
