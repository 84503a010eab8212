// Writes a store of many short clippings for the tests that need a long
// history (CTest runs it once per test run, as a fixture):
//
//   history_store_generator FOLDER [COUNT]
//
// FOLDER/datastore holds COUNT clippings (100,000 by default), one a minute
// from 2023 on, each with an identifier and a short text; every tenth is in a
// list. The tests copy the folder into their own home before opening it.

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/store/Context.h"
#include "platform/store/Coordinator.h"
#include "platform/store/Model.h"
#include "platform/store/Schema.h"

namespace fs = std::filesystem;
using namespace store;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FOLDER [COUNT]\n", argv[0]);
        return 2;
    }
    const fs::path folder = argv[1];
    const long count = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 100000;
    std::error_code error;
    fs::remove_all(folder, error);
    fs::create_directories(folder);
    auto model = Model::loadResource(fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd");
    if (!model) {
        std::fprintf(stderr, "%s\n", model.error().description().c_str());
        return 1;
    }
    auto coordinator = std::make_shared<Coordinator>(model.value());
    if (auto added = coordinator->addSQLiteStore(folder / "datastore"); !added) {
        std::fprintf(stderr, "%s\n", added.error().description().c_str());
        return 1;
    }
    ObjectID list;
    {
        Context context(coordinator);
        auto object = context.insertNewObject("List");
        object->setValueForKey("listID", Value("L-HISTORY"));
        object->setValueForKey("name", Value("Kept"));
        if (!context.save()) return 1;
        list = object->objectID();
    }
    coordinator.reset();  // the schema is made; the rows go in through SQLite itself, in one transaction

    // Rows as the store writes them (see SQLiteStore::writeRow), a hundred
    // times faster than through objects in a sanitized build.
    sqlite3* db = nullptr;
    if (sqlite3_open((folder / "datastore").c_str(), &db) != SQLITE_OK) return 1;
    const Entity& entity = *model.value()->entity("Clipping");
    const Property& text = entity.property(entity.propertyIndex("text"));
    const std::string insertRow = "INSERT INTO " + Schema::table(entity) +
                                  " (pk, \"clippingID\", \"addDate\", \"tavloDate\", \"modifiedDate\", \"pasteboardIndex\", \"sync\", " +
                                  Schema::keyColumn(text) + ", " + Schema::column(text) + ", \"list\") VALUES (?, ?, ?, ?, ?4, 0, 0, ?, ?, ?)";
    const std::string insertSearch = "INSERT INTO " + Schema::searchTable(entity) + " (rowid, " + Schema::column(text) + ") VALUES (?, ?)";
    sqlite3_stmt* row = nullptr;
    sqlite3_stmt* search = nullptr;
    // A file made for tests: nothing to recover from if the run breaks off.
    sqlite3_exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN", nullptr, nullptr, nullptr);
    if (sqlite3_prepare_v2(db, insertRow.c_str(), -1, &row, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db, insertSearch.c_str(), -1, &search, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "%s\n", sqlite3_errmsg(db));
        return 1;
    }
    for (long i = 0; i < count; ++i) {
        char id[48];
        std::snprintf(id, sizeof id, "C-00000000-0000-0000-0000-%012lX", static_cast<unsigned long>(i));
        const double date = 1.7e9 + double(i) * 60.0;
        const Value value("History clipping " + std::to_string(i) + " of the generated store");
        const Value folded = Schema::searchText(value);
        const sqlite3_int64 pk = i + 1;
        sqlite3_bind_int64(row, 1, pk);
        sqlite3_bind_text(row, 2, id, -1, SQLITE_TRANSIENT);
        sqlite3_bind_double(row, 3, date);
        sqlite3_bind_double(row, 4, date);
        sqlite3_bind_int64(row, 5, Schema::largeValueKey(value).integerValue());
        sqlite3_bind_text(row, 6, value.string().c_str(), -1, SQLITE_TRANSIENT);
        if (i % 10 == 5) sqlite3_bind_int64(row, 7, list.pk);
        else sqlite3_bind_null(row, 7);
        sqlite3_bind_int64(search, 1, pk);
        sqlite3_bind_text(search, 2, folded.string().c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(row) != SQLITE_DONE || sqlite3_step(search) != SQLITE_DONE) {
            std::fprintf(stderr, "%s\n", sqlite3_errmsg(db));
            return 1;
        }
        sqlite3_reset(row);
        sqlite3_reset(search);
    }
    sqlite3_finalize(row);
    sqlite3_finalize(search);
    if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) return 1;
    sqlite3_close(db);
    return 0;
}
