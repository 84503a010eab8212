#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include "StoreFixture.h"
#include "platform/store/StoreError.h"
#include "tests/support/LockedDatabase.h"

using namespace store;

namespace {

std::string modelJSON(int version, const std::string& extraAttribute, const std::string& extraEntity,
                      const std::string& textType = "string") {
    std::string attributes = R"({"name": "title", "type": ")" + textType + R"(", "searchable": )" +
                             (textType == "string" ? "true" : "false") + R"(}, {"name": "rank", "type": "integer"})";
    if (!extraAttribute.empty()) attributes += R"(, {"name": ")" + extraAttribute + R"(", "type": "string"})";
    std::string entities = R"({"name": "Note", "attributes": [)" + attributes + R"(], "indexes": [["rank"]]})";
    if (!extraEntity.empty()) entities += R"(, {"name": ")" + extraEntity + R"(", "attributes": [{"name": "x", "type": "date"}]})";
    return R"({"name": "Notes", "version": )" + std::to_string(version) + R"(, "entities": [)" + entities + "]}";
}

class StoreFileTest : public storetest::StoreTest {
protected:
    std::shared_ptr<const Model> model(const std::string& json) {
        auto m = Model::fromJSON(json);
        EXPECT_TRUE(m.ok()) << (m.ok() ? "" : m.error().description());
        return m.value();
    }
    foundation::Result<void> open(const std::shared_ptr<const Model>& m, int busyTimeoutMs = 5000) {
        Coordinator coordinator(m);
        StoreOptions options;
        options.busyTimeoutMs = busyTimeoutMs;
        return coordinator.addSQLiteStore(storePath(), options);
    }
    void writeFile(const std::string& bytes) { std::ofstream(storePath(), std::ios::binary) << bytes; }
};

TEST_F(StoreFileTest, AStoreOfAnOlderModelOpensAndKeepsItsRows) {
    auto v1 = model(modelJSON(1, "obsolete", "Gone"));
    {
        Context context(openCoordinator(v1));
        for (int i = 0; i < 3; ++i) {
            auto note = context.insertNewObject("Note");
            note->setValueForKey("title", Value("Note " + std::to_string(i)));
            note->setValueForKey("rank", Value(i));
            note->setValueForKey("obsolete", Value("x"));
        }
        ASSERT_TRUE(context.save().ok());
    }
    auto v2 = model(modelJSON(2, "added", "Fresh"));
    Context context(openCoordinator(v2));
    FetchRequest request("Note");
    request.sortDescriptors = {{"rank", true}};
    auto notes = context.fetch(request);
    ASSERT_TRUE(notes.ok());
    ASSERT_EQ(notes.value().size(), 3u);
    EXPECT_EQ(notes.value()[2]->valueForKey("title").string(), "Note 2");
    EXPECT_TRUE(notes.value()[2]->valueForKey("added").isNull());
    notes.value()[0]->setValueForKey("added", Value("new"));
    context.insertNewObject("Fresh")->setValueForKey("x", Value::date(1));
    ASSERT_TRUE(context.save().ok());
    request.predicate = Predicate::withFormat("title contains[cd] %@", Value("NOTE 1")).value();
    EXPECT_EQ(Context(openCoordinator(v2)).fetch(request).value().size(), 1u);  // still searchable
}

TEST_F(StoreFileTest, AnythingButAddingOrRemovingIsAnIncompatibleModel) {
    ASSERT_TRUE(open(model(modelJSON(2, "", ""))).ok());
    struct Row {
        const char* name;
        std::string json;
    };
    const Row rows[] = {
        {"changed type", modelJSON(3, "", "", "binary")},
        {"newer store", modelJSON(1, "", "")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto opened = open(model(row.json));
        ASSERT_FALSE(opened.ok());
        EXPECT_TRUE(isStoreError(opened.error(), ErrorCode::IncompatibleModel));
        EXPECT_TRUE(isUnusableStoreError(opened.error()));
    }
    EXPECT_TRUE(open(model(modelJSON(2, "", ""))).ok());  // untouched by the failed attempts
}

TEST_F(StoreFileTest, BadFilesAreUnusableAndAnEmptyFileIsAnEmptyStore) {
    struct Row {
        const char* name;
        void (*make)(const std::filesystem::path&);
        ErrorCode code;
    };
    const Row rows[] = {
        {"random bytes",
         [](const std::filesystem::path& p) {
             std::mt19937 random(7);
             std::string bytes(8192, '\0');
             for (char& c : bytes) c = static_cast<char>(random());
             std::ofstream(p, std::ios::binary) << bytes;
         },
         ErrorCode::NotADatabase},
        {"text file", [](const std::filesystem::path& p) { std::ofstream(p) << "just some notes\n"; }, ErrorCode::NotADatabase},
        {"foreign database",
         [](const std::filesystem::path& p) {
             sqlite3* db = nullptr;
             sqlite3_open(p.c_str(), &db);
             sqlite3_exec(db, "CREATE TABLE songs (title TEXT)", nullptr, nullptr, nullptr);
             sqlite3_close(db);
         },
         ErrorCode::IncompatibleModel},
        {"folder", [](const std::filesystem::path& p) { std::filesystem::create_directory(p); }, ErrorCode::NotADatabase},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(storePath());
        row.make(storePath());
        auto opened = open(storetest::tavloModel());
        ASSERT_FALSE(opened.ok());
        EXPECT_TRUE(isStoreError(opened.error(), row.code)) << opened.error().description();
        EXPECT_TRUE(isUnusableStoreError(opened.error()));
    }
    std::filesystem::remove_all(storePath());
    writeFile("");
    EXPECT_TRUE(open(storetest::tavloModel()).ok());
}

TEST_F(StoreFileTest, AStoreLockedByAnotherProcessIsBusyNotUnusable) {
    ASSERT_TRUE(open(storetest::tavloModel()).ok());
    foundation::Result<void> opened;
    {
        testsupport::LockedDatabase lock(storePath());
        ASSERT_TRUE(lock.locked());
        opened = open(storetest::tavloModel(), 100);
    }
    ASSERT_FALSE(opened.ok());
    EXPECT_TRUE(isStoreError(opened.error(), ErrorCode::Busy)) << opened.error().description();
    EXPECT_FALSE(isUnusableStoreError(opened.error()));
    EXPECT_TRUE(open(storetest::tavloModel()).ok());
}

TEST_F(StoreFileTest, AProcessKilledDuringSavesLeavesEveryCommittedClipping) {
    { ASSERT_TRUE(open(storetest::tavloModel()).ok()); }
    int committed[2];
    ASSERT_EQ(pipe(committed), 0);
    pid_t child = fork();
    if (child == 0) {
        close(committed[0]);
        Context context(openCoordinator());
        for (int i = 0;; ++i) {
            auto c = context.insertNewObject("Clipping");
            std::string id = "C-" + std::to_string(i);
            c->setValueForKey("clippingID", Value(id));
            c->setValueForKey("text", Value(std::string(2000 + i % 700, 'a' + i % 26)));
            if (!context.save().ok()) _exit(3);
            id += "\n";
            if (write(committed[1], id.data(), id.size()) < 0) _exit(4);
        }
    }
    close(committed[1]);
    std::set<std::string> ids;
    std::string line;
    char buf[256];
    while (ids.size() < 300) {
        ssize_t n = read(committed[0], buf, sizeof buf);
        ASSERT_GT(n, 0);
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == '\n') {
                ids.insert(line);
                line.clear();
            } else {
                line += buf[i];
            }
        }
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(committed[0]);

    auto context = newContext();
    auto stored = idsOf(context->fetch(FetchRequest("Clipping")).value());
    for (const auto& id : ids) EXPECT_TRUE(stored.count(id)) << id;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(storePath().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* check = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr);
    ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
    sqlite3_finalize(check);
    sqlite3_close(db);
}

}  // namespace
