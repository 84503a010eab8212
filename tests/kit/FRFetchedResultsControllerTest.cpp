#include "kit/FRFetchedResultsController.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "platform/store/Comparison.h"
#include "platform/store/Coordinator.h"
#include "tests/support/TempHome.h"

namespace {

using store::Context;
using store::ManagedObject;
using store::Value;
using Events = std::vector<std::string>;
namespace fs = std::filesystem;

constexpr uint64_t kNF = FRFetchedResultsController::kNotFound;

std::string idOf(const ManagedObject& o) {
    return o.valueForKey(o.entity().name() == "List" ? "listID" : "clippingID").string();
}

std::string index(uint64_t i) { return i == kNF ? "-" : std::to_string(i); }

std::string describe(const std::string& id, uint64_t at, FRFetchedResultsChangeType type, uint64_t to) {
    static const char* const kTypes[] = {"", "insert", "delete", "move", "update"};
    return std::string(kTypes[static_cast<int>(type)]) + " " + id + " " + index(at) + ">" + index(to);
}

class RecordingDelegate : public FRFetchedResultsControllerDelegate {
public:
    void controllerWillChangeContent(FRFetchedResultsController&) override { events.push_back("will"); }
    void controller(FRFetchedResultsController&, const std::shared_ptr<ManagedObject>& object, uint64_t atIndex,
                    FRFetchedResultsChangeType type, uint64_t newIndex) override {
        events.push_back(describe(idOf(*object), atIndex, type, newIndex));
    }
    void controllerDidChangeContent(FRFetchedResultsController&) override { events.push_back("did"); }
    bool implementsControllerWillChangeContent() const override { return willChange; }
    bool implementsControllerDidChangeObject() const override { return true; }
    bool implementsControllerDidChangeContent() const override { return didChange; }

    Events take() { return std::exchange(events, {}); }

    bool willChange = true, didChange = true;
    Events events;
};

class FRFetchedResultsControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto model = store::Model::loadResource(fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd");
        ASSERT_TRUE(model.ok());
        auto coordinator = std::make_shared<store::Coordinator>(model.value());
        ASSERT_TRUE(coordinator->addSQLiteStore(home_.root() / "datastore").ok());
        context_ = std::make_shared<Context>(coordinator);
    }

    // The browser's shape: clippings with some content, newest first, then
    // in pasteboard order.
    static std::shared_ptr<store::FetchRequest> request(bool sorted = true) {
        auto r = std::make_shared<store::FetchRequest>("Clipping");
        r->predicate = store::Predicate::withFormat("text != NULL OR url != NULL OR image != NULL").value();
        if (sorted) r->sortDescriptors = {{"tavloDate", false}, {"pasteboardIndex", true}};
        return r;
    }
    std::shared_ptr<ManagedObject> clipping(const std::string& id, double date, int pasteboardIndex = 0,
                                            const char* text = "text") {
        auto c = context_->insertNewObject("Clipping");
        c->setValueForKey("clippingID", Value(id));
        c->setValueForKey("tavloDate", Value::date(date));
        c->setValueForKey("pasteboardIndex", Value(pasteboardIndex));
        c->setValueForKey("text", text ? Value(text) : Value());
        objects_[id] = c;
        return c;
    }
    // A controller fetched over the saved objects, with the recording delegate.
    std::unique_ptr<FRFetchedResultsController> controller(std::shared_ptr<store::FetchRequest> r = request()) {
        EXPECT_TRUE(context_->save().ok());
        auto c = std::make_unique<FRFetchedResultsController>(context_, std::move(r));
        c->setDelegate(&delegate_);
        EXPECT_TRUE(c->performFetch());
        return c;
    }
    static std::vector<std::string> ids(const FRFetchedResultsController& c) {
        std::vector<std::string> out;
        for (const auto& o : c.fetchedObjects()) out.push_back(idOf(*o));
        return out;
    }
    Events process() {
        context_->processPendingChanges();
        return delegate_.take();
    }

    testsupport::TempHome home_;
    std::shared_ptr<Context> context_;
    std::map<std::string, std::shared_ptr<ManagedObject>> objects_;
    RecordingDelegate delegate_;
};

TEST_F(FRFetchedResultsControllerTest, ReportsEachKindOfChangeAsThePartsOfOneBatch) {
    clipping("C-1", 30);
    clipping("C-2", 20);
    clipping("C-3", 10);
    auto frc = controller();
    ASSERT_EQ(ids(*frc), (std::vector<std::string>{"C-1", "C-2", "C-3"}));
    struct Row {
        const char* name;
        std::function<void()> change;
        Events events;
        std::vector<std::string> after;
    };
    const Row rows[] = {
        {"an insert and a delete: the delete first, with its index before the batch",
         [&] {
             clipping("C-4", 25);
             context_->deleteObject(objects_["C-1"]);
         },
         {"will", "delete C-1 0>-", "insert C-4 ->0", "did"},
         {"C-4", "C-2", "C-3"}},
        {"a change of a key outside the order is an update in place",
         [&] { objects_["C-4"]->setValueForKey("urlName", Value("title")); },
         {"will", "update C-4 0>0", "did"},
         {"C-4", "C-2", "C-3"}},
        {"a change of a sort key is a move, also when the order stays",
         [&] { objects_["C-4"]->setValueForKey("tavloDate", Value::date(22)); },
         {"will", "move C-4 0>0", "did"},
         {"C-4", "C-2", "C-3"}},
        {"a move across the array",
         [&] { objects_["C-3"]->setValueForKey("tavloDate", Value::date(99)); },
         {"will", "move C-3 2>0", "did"},
         {"C-3", "C-4", "C-2"}},
        {"an object that stops matching leaves as a delete",
         [&] { objects_["C-2"]->setValueForKey("text", Value()); },
         {"will", "delete C-2 2>-", "did"},
         {"C-3", "C-4"}},
        {"an object that starts matching enters as an insert",
         [&] { objects_["C-2"]->setValueForKey("url", Value("https://example.com")); },
         {"will", "insert C-2 ->2", "did"},
         {"C-3", "C-4", "C-2"}},
        {"an object that never matched changes nothing",
         [&] { clipping("C-empty", 50, 0, nullptr); },
         {},
         {"C-3", "C-4", "C-2"}},
        {"deleting an object never fetched reports nothing",
         [&] { context_->deleteObject(objects_["C-empty"]); },
         {},
         {"C-3", "C-4", "C-2"}},
        {"other entities are ignored: no will-change, no did-change",
         [&] {
             auto list = context_->insertNewObject("List");
             list->setValueForKey("listID", Value("L-1"));
         },
         {},
         {"C-3", "C-4", "C-2"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        row.change();
        EXPECT_EQ(process(), row.events);
        EXPECT_EQ(ids(*frc), row.after);
    }
}

TEST_F(FRFetchedResultsControllerTest, TiesKeepTheirOrderAndNewObjectsGoAfterTheirTies) {
    clipping("C-a", 10, 1);
    clipping("C-b", 10, 1);
    clipping("C-c", 10, 1);
    clipping("C-d", 5, 0);
    auto frc = controller();
    ASSERT_EQ(ids(*frc), (std::vector<std::string>{"C-a", "C-b", "C-c", "C-d"}));
    clipping("C-new1", 10, 1);
    clipping("C-new2", 10, 1);
    EXPECT_EQ(process(), (Events{"will", "insert C-new1 ->3", "insert C-new2 ->4", "did"}));
    // A moved object that still ties keeps its place among its ties, and two
    // moves are reported by their new indexes.
    objects_["C-b"]->setValueForKey("tavloDate", Value::date(11));
    objects_["C-b"]->setValueForKey("tavloDate", Value::date(10));
    objects_["C-d"]->setValueForKey("tavloDate", Value::date(20));
    EXPECT_EQ(process(), (Events{"will", "move C-d 5>0", "move C-b 1>2", "did"}));
    EXPECT_EQ(ids(*frc), (std::vector<std::string>{"C-d", "C-a", "C-b", "C-c", "C-new1", "C-new2"}));
}

TEST_F(FRFetchedResultsControllerTest, WithoutSortDescriptorsUpdatesStayAndInsertsAreAppended) {
    clipping("C-1", 1);
    clipping("C-2", 2);
    auto frc = controller(request(false));
    objects_["C-2"]->setValueForKey("tavloDate", Value::date(0));
    EXPECT_EQ(process(), (Events{"will", "update C-2 1>1", "did"}));
    clipping("C-3", 3);
    clipping("C-4", 4);
    EXPECT_EQ(process(), (Events{"will", "insert C-3 ->2", "insert C-4 ->3", "did"}));
}

TEST_F(FRFetchedResultsControllerTest, OnlyTheOperationsTheDelegateImplementsAreSent) {
    clipping("C-1", 1);
    auto frc = controller();
    delegate_.willChange = false;
    frc->setDelegate(&delegate_);  // what it implements is read when it is set
    clipping("C-2", 2);
    EXPECT_EQ(process(), (Events{"insert C-2 ->0", "did"}));
    frc->setDelegate(nullptr);
    clipping("C-3", 3);
    EXPECT_TRUE(process().empty());
    EXPECT_EQ(frc->count(), 3u);
}

TEST_F(FRFetchedResultsControllerTest, FetchingAndLookingUp) {
    FRFetchedResultsController none(context_, nullptr);
    EXPECT_FALSE(none.performFetch());

    auto bad = std::make_shared<store::FetchRequest>("NoSuchEntity");
    FRFetchedResultsController failing(context_, bad);
    foundation::Error error;
    EXPECT_TRUE(failing.performFetch(&error));  // a failed fetch still answers true
    EXPECT_FALSE(error.domain.empty());
    EXPECT_EQ(failing.count(), 0u);

    clipping("C-1", 2);
    clipping("C-2", 1);
    auto frc = controller();
    EXPECT_EQ(idOf(*frc->objectAtIndex(1)), "C-2");
    EXPECT_EQ(frc->objectAtIndex(2), nullptr);
    EXPECT_EQ(frc->objectsAtIndexes({1, 0, 7}).size(), 2u);
    EXPECT_EQ(frc->indexOfObject(objects_["C-2"]), 1u);
    EXPECT_EQ(frc->indexOfObject(nullptr), kNF);
}

TEST_F(FRFetchedResultsControllerTest, AnObjectFetchedBeforeItsInsertIsReportedIsNotAddedTwice) {
    clipping("C-1", 1);
    ASSERT_TRUE(context_->save().ok());
    clipping("C-2", 2);  // unsaved and not yet processed: the fetch already finds it
    FRFetchedResultsController frc(context_, request());
    frc.setDelegate(&delegate_);
    ASSERT_TRUE(frc.performFetch());
    ASSERT_EQ(frc.count(), 2u);
    EXPECT_TRUE(process().empty());
    EXPECT_EQ(frc.count(), 2u);
}

// The reports written out the slow way: append, stable re-sort, look up.
class ReferenceController {
public:
    ReferenceController(std::shared_ptr<store::FetchRequest> request, Context& context) : request_(std::move(request)) {
        objects_ = context.fetch(*request_).value();
    }
    void handle(const foundation::Notification& n) {
        static const Context::Objects kNone;
        auto set = [&n](const char* key) -> const Context::Objects& {
            auto objects = n.info<Context::Objects>(key);
            return objects ? *objects : kNone;
        };
        auto belongs = [](const ManagedObject& o) { return o.entity().name() == "Clipping"; };
        auto matches = [this](const ManagedObject& o) { return request_->predicate->evaluate(o); };
        Context::Objects inserts;
        std::vector<std::pair<std::shared_ptr<ManagedObject>, uint64_t>> moves;
        for (const auto& o : set(Context::kDeletedObjectsKey))
            if (belongs(*o))
                if (uint64_t i = indexOf(o); i != kNF) {
                    objects_.erase(objects_.begin() + static_cast<long>(i));
                    events.push_back(describe(idOf(*o), i, FRFetchedResultsChangeType::Delete, kNF));
                }
        for (const auto& o : set(Context::kUpdatedObjectsKey)) {
            if (!belongs(*o)) continue;
            uint64_t i = indexOf(o);
            bool match = matches(*o);
            if (!match && i != kNF) {
                objects_.erase(objects_.begin() + static_cast<long>(i));
                events.push_back(describe(idOf(*o), i, FRFetchedResultsChangeType::Delete, kNF));
            } else if (match && i == kNF) {
                inserts.push_back(o);
            } else if (match) {
                auto keys = o->changedKeysForCurrentEvent();
                bool sortKey = std::count(keys.begin(), keys.end(), "tavloDate") + std::count(keys.begin(), keys.end(), "pasteboardIndex");
                if (sortKey) moves.emplace_back(o, i);
                else events.push_back(describe(idOf(*o), i, FRFetchedResultsChangeType::Update, i));
            }
        }
        if (!moves.empty()) {
            resort();
            std::vector<std::pair<uint64_t, size_t>> order;
            for (size_t m = 0; m < moves.size(); ++m) order.emplace_back(indexOf(moves[m].first), m);
            std::stable_sort(order.begin(), order.end(), [](auto& a, auto& b) { return a.first < b.first; });
            for (auto& [to, m] : order)
                events.push_back(describe(idOf(*moves[m].first), moves[m].second, FRFetchedResultsChangeType::Move, to));
        }
        for (const auto& o : set(Context::kInsertedObjectsKey))
            if (belongs(*o) && matches(*o)) inserts.push_back(o);
        if (!inserts.empty()) {
            objects_.insert(objects_.end(), inserts.begin(), inserts.end());
            resort();
            for (const auto& o : inserts)
                events.push_back(describe(idOf(*o), kNF, FRFetchedResultsChangeType::Insert, indexOf(o)));
        }
    }
    std::vector<std::string> ids() const {
        std::vector<std::string> out;
        for (const auto& o : objects_) out.push_back(idOf(*o));
        return out;
    }
    Events events;

private:
    uint64_t indexOf(const std::shared_ptr<ManagedObject>& o) const {
        auto it = std::find(objects_.begin(), objects_.end(), o);
        return it == objects_.end() ? kNF : static_cast<uint64_t>(it - objects_.begin());
    }
    void resort() {
        std::stable_sort(objects_.begin(), objects_.end(), [this](const auto& a, const auto& b) {
            for (const auto& s : request_->sortDescriptors) {
                int c = store::orderValues(a->valueForKey(s.key), b->valueForKey(s.key));
                if (c != 0) return s.ascending ? c < 0 : c > 0;
            }
            return false;
        });
    }
    std::shared_ptr<store::FetchRequest> request_;
    Context::Objects objects_;
};

TEST_F(FRFetchedResultsControllerTest, RandomBatchesGiveTheReportsOfAStableResort) {
    // Few distinct dates and pasteboard indexes, so ties are everywhere.
    std::mt19937 random(7);
    int next = 0;
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    for (int i = 0; i < 40; ++i) clipping("C-" + std::to_string(next++), pick(5), pick(3), pick(4) ? "text" : nullptr);
    auto frc = controller();
    ReferenceController reference(request(), *context_);
    auto& center = foundation::NotificationCenter::defaultCenter();
    foundation::ObserverRegistration observer(center, center.addObserver(Context::kObjectsDidChangeNotification, context_.get(),
                                                                         [&](const foundation::Notification& n) { reference.handle(n); }));
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(round);
        // Several changes of each kind, many of them in one batch (enough to
        // take the controller's indexed path as well as its scanning one).
        int changes = 1 + pick(round % 3 == 0 ? 30 : 4);
        for (int k = 0; k < changes; ++k) {
            std::vector<std::shared_ptr<ManagedObject>> live;
            for (auto& [id, o] : objects_)
                if (o->managedObjectContext() && !o->isDeleted()) live.push_back(o);
            auto& o = live[static_cast<size_t>(pick(static_cast<int>(live.size())))];
            switch (pick(6)) {
                case 0: clipping("C-" + std::to_string(next++), pick(5), pick(3), pick(4) ? "text" : nullptr); break;
                case 1: if (live.size() > 10) context_->deleteObject(o); break;
                case 2: o->setValueForKey("tavloDate", Value::date(pick(5))); break;
                case 3: o->setValueForKey("pasteboardIndex", Value(pick(3))); break;
                case 4: o->setValueForKey("text", pick(3) ? Value("text") : Value()); break;
                default: o->setValueForKey("urlSource", Value("app" + std::to_string(pick(3)))); break;
            }
        }
        Events events = process();
        Events expected = std::exchange(reference.events, {});
        if (!expected.empty()) {
            expected.insert(expected.begin(), "will");
            expected.push_back("did");
        }
        ASSERT_EQ(events, expected);
        ASSERT_EQ(ids(*frc), reference.ids());
        if (round % 10 == 0) {
            ASSERT_TRUE(context_->save().ok());
        }
    }
}

}  // namespace
