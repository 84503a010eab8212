#include "platform/store/Coordinator.h"

#include "platform/store/StoreError.h"

namespace store {

using foundation::Result;

Coordinator::Coordinator(std::shared_ptr<const Model> model)
    : model_(std::move(model)), nextKeys_(model_->entities().size(), 1) {}

Coordinator::~Coordinator() = default;

foundation::Error Coordinator::noStore() const {
    return makeError(ErrorCode::NoStore, "The persistent store coordinator has no store");
}

Result<void> Coordinator::addSQLiteStore(const std::filesystem::path& path, const StoreOptions& options) {
    std::lock_guard lock(mutex_);
    resetReader({}, options);
    store_.reset();
    auto opened = SQLiteStore::open(path, model_, options);
    if (!opened) return opened.error();
    store_ = std::move(opened.value());
    if (path != SQLiteStore::kInMemoryPath) resetReader(path, options);
    std::lock_guard keys(keysMutex_);
    for (const Entity& e : model_->entities())
        nextKeys_[e.index()] = std::max(nextKeys_[e.index()], store_->maxPrimaryKey(e.index()) + 1);
    return {};
}

Result<void> Coordinator::addInMemoryStore() { return addSQLiteStore(SQLiteStore::kInMemoryPath); }

void Coordinator::removeStore() {
    std::lock_guard lock(mutex_);
    resetReader({}, {});
    store_.reset();
}

void Coordinator::resetReader(const std::filesystem::path& path, const StoreOptions& options) {
    std::lock_guard reading(readerMutex_);
    reader_.reset();
    readerPath_ = path;
    readerOptions_ = options;
}

SQLiteStore* Coordinator::reader() {
    if (!reader_ && !readerPath_.empty()) {
        auto opened = SQLiteStore::openReader(readerPath_, model_, readerOptions_);
        // Without a reader, reads wait for the store's connection as before.
        if (opened) reader_ = std::move(opened.value());
        else readerPath_.clear();
    }
    return reader_.get();
}

template <class Read>
auto Coordinator::readStore(Read&& read) -> decltype(read(std::declval<SQLiteStore&>())) {
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
        std::unique_lock reading(readerMutex_);
        if (SQLiteStore* beside = reader()) return read(*beside);
        reading.unlock();
        lock.lock();
    }
    if (!store_) return noStore();
    return read(*store_);
}

bool Coordinator::hasStore() const {
    std::lock_guard lock(mutex_);
    return store_ != nullptr;
}

std::filesystem::path Coordinator::storePath() const {
    std::lock_guard lock(mutex_);
    return store_ ? store_->path() : std::filesystem::path();
}

int64_t Coordinator::newPrimaryKey(uint32_t entity) {
    std::lock_guard lock(keysMutex_);
    return nextKeys_[entity]++;
}

Result<RowSet> Coordinator::fetchRows(const RowQuery& query) {
    return readStore([&](SQLiteStore& store) { return store.fetchRows(query); });
}

Result<void> Coordinator::forEachRow(const RowQuery& query, const SQLiteStore::RowSink& sink) {
    return readStore([&](SQLiteStore& store) { return store.forEachRow(query, sink); });
}

Result<int64_t> Coordinator::countRows(const Entity& entity, const std::string& where, const std::vector<Value>& binds,
                                       const std::vector<int>& distinct) {
    return readStore([&](SQLiteStore& store) { return store.countRows(entity, where, binds, distinct); });
}

Result<std::optional<std::vector<Value>>> Coordinator::loadRow(const Entity& entity, int64_t pk, uint64_t mask) {
    return readStore([&](SQLiteStore& store) { return store.loadRow(entity, pk, mask); });
}

Result<void> Coordinator::commit(const ChangeSet& changes) {
    std::lock_guard lock(mutex_);
    if (!store_) return noStore();
    return store_->commit(changes);
}

Result<std::vector<int64_t>> Coordinator::updateRows(const Entity& entity, const std::vector<std::pair<int, Value>>& values,
                                                     const std::string& where, const std::vector<Value>& binds) {
    std::lock_guard lock(mutex_);
    if (!store_) return noStore();
    return store_->updateRows(entity, values, where, binds);
}

void Coordinator::registerContext(const std::shared_ptr<Context>& context) {
    std::lock_guard lock(contextsMutex_);
    std::erase_if(contexts_, [&context](const std::weak_ptr<Context>& known) {
        auto held = known.lock();
        return !held || held == context;
    });
    contexts_.push_back(context);
}

std::vector<std::shared_ptr<Context>> Coordinator::contexts() const {
    std::lock_guard lock(contextsMutex_);
    std::vector<std::shared_ptr<Context>> alive;
    for (const auto& known : contexts_)
        if (auto held = known.lock()) alive.push_back(std::move(held));
    return alive;
}

}  // namespace store
