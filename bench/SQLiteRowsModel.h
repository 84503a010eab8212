#pragma once
// The benchmarks' plain peer of the clippings panel: a QAbstractTableModel over
// the keys of some rows of a store's "Clipping" table, read through the SQLite
// C API, whose rows read their first 500 characters only when drawn.
#include <sqlite3.h>

#include <QAbstractTableModel>
#include <QString>

#include <filesystem>
#include <vector>

class SQLiteRowsModel : public QAbstractTableModel {
public:
    explicit SQLiteRowsModel(const std::filesystem::path& path) {
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_prepare_v2(db_, "SELECT substr(\"text\", 1, 500) FROM \"Clipping\" WHERE pk = ?", -1, &one_, nullptr);
    }
    ~SQLiteRowsModel() override {
        sqlite3_finalize(one_);
        sqlite3_close(db_);
    }
    // Runs the statement (its text bound to the parameter, when given) and
    // shows the keys of its rows.
    void showKeys(const char* sql, const char* parameter = nullptr) {
        beginResetModel();
        keys_.clear();
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr);
        if (parameter) sqlite3_bind_text(statement, 1, parameter, -1, SQLITE_TRANSIENT);
        while (sqlite3_step(statement) == SQLITE_ROW) keys_.push_back(sqlite3_column_int64(statement, 0));
        sqlite3_finalize(statement);
        endResetModel();
    }
    int rowCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : int(keys_.size()); }
    int columnCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : 1; }
    QVariant data(const QModelIndex& index, int role) const override {
        if (role != Qt::DisplayRole) return {};
        sqlite3_reset(one_);
        sqlite3_bind_int64(one_, 1, keys_[size_t(index.row())]);
        if (sqlite3_step(one_) != SQLITE_ROW) return {};
        return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(one_, 0)));
    }

private:
    sqlite3* db_ = nullptr;
    sqlite3_stmt* one_ = nullptr;
    std::vector<int64_t> keys_;
};
