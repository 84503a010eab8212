#include <gtest/gtest.h>

#include <functional>

#include "StoreFixture.h"
#include "platform/store/StoreError.h"

using namespace store;

namespace {

const char* kTypesModel = R"({"name": "Types", "version": 1, "entities": [{"name": "Thing", "attributes": [
    {"name": "s", "type": "string"}, {"name": "i", "type": "integer"}, {"name": "d", "type": "double"},
    {"name": "b", "type": "boolean"}, {"name": "t", "type": "date"}, {"name": "x", "type": "binary"},
    {"name": "big", "type": "string", "large": true}, {"name": "index", "type": "integer"}]}]})";

class ObjectStoreTest : public storetest::StoreTest {
protected:
    std::shared_ptr<ManagedObject> insertClipping(Context& context, const std::string& id, double date,
                                                  const std::string& text = "text") {
        auto c = context.insertNewObject("Clipping");
        c->setValueForKey("clippingID", Value(id));
        c->setValueForKey("tavloDate", Value::date(date));
        c->setValueForKey("text", Value(text));
        return c;
    }
    std::shared_ptr<ManagedObject> fetchOne(Context& context, const std::string& entity, const std::string& format,
                                            const Value& arg) {
        FetchRequest request(entity);
        request.predicate = Predicate::withFormat(format, arg).value();
        auto found = context.fetch(request);
        EXPECT_TRUE(found.ok());
        return found.ok() && found.value().size() == 1 ? found.value()[0] : nullptr;
    }
};

TEST_F(ObjectStoreTest, EveryAttributeTypeRoundTripsWithNilApartFromZeroAndFalse) {
    auto model = Model::fromJSON(kTypesModel);
    ASSERT_TRUE(model.ok());
    struct Row {
        const char* name;
        std::vector<Value> values;  // s i d b t x big index
    };
    const Row rows[] = {
        {"nil", std::vector<Value>(8)},
        {"zero", {Value(""), Value(0), Value(0.0), Value(false), Value::date(0), Value(Value::Bytes{}), Value(""), Value(0)}},
        {"values",
         {Value("Zürich ✓"), Value(int64_t(-9007199254740993)), Value(2.5), Value(true), Value::date(1.7e9 + 0.25),
          Value(Value::Bytes{0, 255, 7}), Value(std::string(100000, 'x')), Value(42)}},
    };
    const char* keys[] = {"s", "i", "d", "b", "t", "x", "big", "index"};
    {
        Context context(openCoordinator(model.value()));
        for (const Row& row : rows) {
            auto o = context.insertNewObject("Thing");
            for (size_t k = 0; k < 8; ++k) EXPECT_TRUE(o->setValueForKey(keys[k], row.values[k]));
        }
        ASSERT_TRUE(context.save().ok());
    }
    Context context(openCoordinator(model.value()));
    auto all = context.fetch(FetchRequest("Thing"));
    ASSERT_TRUE(all.ok());
    ASSERT_EQ(all.value().size(), 3u);
    for (size_t r = 0; r < 3; ++r) {
        SCOPED_TRACE(rows[r].name);
        for (size_t k = 0; k < 8; ++k) {
            Value v = all.value()[r]->valueForKey(keys[k]);
            EXPECT_EQ(v.kind(), rows[r].values[k].kind()) << keys[k];
            EXPECT_TRUE(v == rows[r].values[k]) << keys[k] << " " << v.description();
        }
    }
    // A value of the wrong kind is refused and changes nothing.
    EXPECT_FALSE(all.value()[2]->setValueForKey("t", Value(5)));
    EXPECT_FALSE(all.value()[2]->setValueForKey("s", Value(5)));
    EXPECT_FALSE(context.hasChanges());
}

TEST_F(ObjectStoreTest, RelationshipsStayConsistentAfterReopening) {
    {
        auto context = newContext();
        auto list = context->insertNewObject("List");
        list->setValueForKey("listID", Value("L-A"));
        auto other = context->insertNewObject("List");
        other->setValueForKey("listID", Value("L-B"));
        for (int i = 0; i < 3; ++i) {
            auto c = insertClipping(*context, "C" + std::to_string(i), i);
            list->addObjectForKey("clippings", c);
            for (int a = 0; a < 2; ++a) {
                auto asset = context->insertNewObject("Asset");
                asset->setValueForKey("assetID", Value("C" + std::to_string(i) + "." + std::to_string(a)));
                c->addObjectForKey("assets", asset);
            }
        }
        EXPECT_EQ(list->objectsForKey("clippings").size(), 3u);  // unsaved members count
        ASSERT_TRUE(context->save().ok());
    }
    auto context = newContext();
    auto list = fetchOne(*context, "List", "listID == %@", Value("L-A"));
    auto other = fetchOne(*context, "List", "listID == %@", Value("L-B"));
    ASSERT_TRUE(list && other);
    auto members = list->objectsForKey("clippings");
    EXPECT_EQ(idsOf(members), (std::set<std::string>{"C0", "C1", "C2"}));
    for (const auto& c : members) {
        EXPECT_EQ(c->objectForKey("list"), list);
        auto assets = c->objectsForKey("assets");
        ASSERT_EQ(assets.size(), 2u);
        for (const auto& a : assets) EXPECT_EQ(a->objectForKey("clipping"), c);
    }
    // Moving a clipping marks both lists as changed in "clippings".
    members[0]->setObjectForKey("list", other);
    EXPECT_TRUE(list->hasChangedKey("clippings"));
    EXPECT_TRUE(other->hasChangedKey("clippings"));
    // Deleting a clipping cascades to its assets; deleting a list nullifies its members.
    context->deleteObject(members[1]);
    context->deleteObject(list);
    context->processPendingChanges();
    EXPECT_EQ(context->deletedObjects().size(), 4u);  // the clipping, its two assets, the list
    ASSERT_TRUE(context->save().ok());

    auto reopened = newContext();
    EXPECT_EQ(reopened->count(FetchRequest("Asset")).value(), 4);
    EXPECT_EQ(reopened->count(FetchRequest("Clipping")).value(), 2);
    auto moved = fetchOne(*reopened, "Clipping", "clippingID == %@", Value("C0"));
    auto orphan = fetchOne(*reopened, "Clipping", "clippingID == %@", Value("C2"));
    ASSERT_TRUE(moved && orphan);
    EXPECT_EQ(moved->objectForKey("list")->valueForKey("listID").string(), "L-B");
    EXPECT_EQ(orphan->objectForKey("list"), nullptr);
    EXPECT_EQ(orphan->objectsForKey("assets").size(), 2u);
}

TEST_F(ObjectStoreTest, FetchedObjectsAreFaultsUntilAPropertyIsRead) {
    {
        auto context = newContext();
        for (int i = 0; i < 5; ++i) insertClipping(*context, "C" + std::to_string(i), i, std::string(5000, 'a' + i));
        ASSERT_TRUE(context->save().ok());
    }
    auto context = newContext();
    FetchRequest request("Clipping");
    request.sortDescriptors = {{"tavloDate", false}};
    auto objects = context->fetch(request).value();
    ASSERT_EQ(objects.size(), 5u);
    for (const auto& o : objects) EXPECT_TRUE(o->isFault());
    EXPECT_EQ(objects[0]->valueForKey("tavloDate"), Value::date(4));  // loaded by the fetch
    EXPECT_TRUE(objects[0]->isFault());
    EXPECT_EQ(objects[0]->valueForKey("text").string(), std::string(5000, 'e'));
    EXPECT_FALSE(objects[0]->isFault());
    EXPECT_TRUE(objects[1]->isFault());
    request.returnsObjectsAsFaults = false;
    auto full = newContext()->fetch(request).value();
    EXPECT_FALSE(full[3]->isFault());
}

TEST_F(ObjectStoreTest, ASaveWritesOnlyTheChangedColumns) {
    {
        auto context = newContext();
        insertClipping(*context, "C1", 1, "first");
        ASSERT_TRUE(context->save().ok());
    }
    auto coordinator = openCoordinator();
    Context a(coordinator), b(coordinator);
    auto inA = fetchOne(a, "Clipping", "clippingID == %@", Value("C1"));
    auto inB = fetchOne(b, "Clipping", "clippingID == %@", Value("C1"));
    ASSERT_TRUE(inA && inB);
    (void)inB->valueForKey("text");  // B holds the old text
    inA->setValueForKey("text", Value("changed by A"));
    ASSERT_TRUE(a.save().ok());
    inB->setValueForKey("url", Value("https://b.example"));
    EXPECT_EQ(inB->changedKeys(), std::vector<std::string>{"url"});
    ASSERT_TRUE(b.save().ok());
    auto check = newContext();
    auto fresh = fetchOne(*check, "Clipping", "clippingID == %@", Value("C1"));
    EXPECT_EQ(fresh->valueForKey("text").string(), "changed by A");
    EXPECT_EQ(fresh->valueForKey("url").string(), "https://b.example");
}

TEST_F(ObjectStoreTest, AFailedSaveWritesNothingAndKeepsTheChanges) {
    auto coordinator = openCoordinator();
    auto rival = openCoordinator();  // hands out the same next key
    Context context(coordinator), other(rival);
    insertClipping(other, "rival", 1);
    insertClipping(context, "first", 1);  // collides with the rival's key
    insertClipping(context, "second", 2);
    ASSERT_TRUE(other.save().ok());
    auto saved = context.save();
    ASSERT_FALSE(saved.ok());
    EXPECT_TRUE(isStoreError(saved.error(), ErrorCode::Constraint));
    EXPECT_EQ(context.insertedObjects().size(), 2u);
    auto check = newContext();
    EXPECT_EQ(idsOf(check->fetch(FetchRequest("Clipping")).value()), std::set<std::string>{"rival"});
}

TEST_F(ObjectStoreTest, FetchesSeeUnsavedChangesUnlessAskedNotTo) {
    auto context = newContext();
    for (int i = 0; i < 6; ++i) insertClipping(*context, "C" + std::to_string(i), i);
    ASSERT_TRUE(context->save().ok());
    FetchRequest request("Clipping");
    request.predicate = Predicate::withFormat("text != nil").value();
    request.sortDescriptors = {{"tavloDate", false}};
    request.fetchOffset = 1;
    request.fetchLimit = 3;
    EXPECT_EQ(idsOf(context->fetch(request).value()), (std::set<std::string>{"C4", "C3", "C2"}));

    insertClipping(*context, "new", 10);
    auto c4 = fetchOne(*context, "Clipping", "clippingID == %@", Value("C4"));
    c4->setValueForKey("text", Value());  // no longer matches
    context->deleteObject(fetchOne(*context, "Clipping", "clippingID == %@", Value("C3")));
    auto pending = context->fetch(request).value();
    ASSERT_EQ(pending.size(), 3u);
    EXPECT_EQ(pending[0]->valueForKey("clippingID").string(), "C5");
    EXPECT_EQ(pending[1]->valueForKey("clippingID").string(), "C2");
    EXPECT_EQ(pending[2]->valueForKey("clippingID").string(), "C1");
    EXPECT_EQ(context->count(request).value(), 3);

    request.includesPendingChanges = false;
    auto stored = context->fetch(request).value();
    EXPECT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[0]->valueForKey("clippingID").string(), "C4");
}

TEST_F(ObjectStoreTest, SortsTiesByKeyAndGivesDistinctDictionaries) {
    auto context = newContext();
    for (int i = 0; i < 4; ++i) {
        auto c = insertClipping(*context, i < 2 ? "dup" : "C" + std::to_string(i), 5);
        c->setValueForKey("pasteboardIndex", Value(3 - i));
    }
    ASSERT_TRUE(context->save().ok());
    FetchRequest request("Clipping");
    request.sortDescriptors = {{"tavloDate", false}};
    auto ids = newContext()->fetchObjectIDs(request).value();
    ASSERT_EQ(ids.size(), 4u);
    EXPECT_TRUE(ids[0].pk < ids[1].pk && ids[1].pk < ids[2].pk && ids[2].pk < ids[3].pk);
    request.sortDescriptors = {{"tavloDate", false}, {"pasteboardIndex", true}};
    auto sorted = newContext()->fetchObjectIDs(request).value();
    EXPECT_EQ(sorted[0], ids[3]);

    FetchRequest distinct("Clipping");
    distinct.propertiesToFetch = {"clippingID"};
    distinct.returnsDistinctResults = true;
    auto rows = newContext()->fetchDictionaries(distinct);
    ASSERT_TRUE(rows.ok());
    std::set<std::string> values;
    for (const auto& row : rows.value()) values.insert(row.at("clippingID").string());
    EXPECT_EQ(rows.value().size(), 3u);
    EXPECT_EQ(values, (std::set<std::string>{"dup", "C2", "C3"}));
}

// A count of distinct results counts what fetchDictionaries answers, from the
// store alone or with unsaved changes taking part.
TEST_F(ObjectStoreTest, ACountOfDistinctResultsCountsTheDictionaries) {
    auto context = newContext();
    for (const char* id : {"dup", "dup", "C2", "C3"}) insertClipping(*context, id, 1);
    ASSERT_TRUE(context->save().ok());
    FetchRequest distinct("Clipping");
    distinct.propertiesToFetch = {"clippingID"};
    distinct.returnsDistinctResults = true;
    FetchRequest some = distinct;
    some.predicate = Predicate::withFormat("clippingID != %@", Value("C3")).value();
    FetchRequest unknown = distinct;
    unknown.propertiesToFetch = {"nothing"};
    struct Case {
        const char* name;
        const FetchRequest& request;
        std::function<void(Context&)> change;
        int64_t expected;
    };
    const Case cases[] = {
        {"stored", distinct, {}, 3},
        {"stored, with a predicate", some, {}, 2},
        {"an unsaved new identifier", distinct, [this](Context& c) { insertClipping(c, "C4", 2); }, 4},
        {"an unsaved twin", distinct, [this](Context& c) { insertClipping(c, "C2", 2); }, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto reader = newContext();
        if (c.change) c.change(*reader);
        auto dictionaries = reader->fetchDictionaries(c.request);
        ASSERT_TRUE(dictionaries.ok());
        EXPECT_EQ(static_cast<int64_t>(dictionaries.value().size()), c.expected);
        EXPECT_EQ(reader->count(c.request).valueOr(-1), c.expected);
    }
    EXPECT_FALSE(newContext()->count(unknown).ok());
}

TEST_F(ObjectStoreTest, TheSearchIndexFollowsEditsAndDeletions) {
    auto context = newContext();
    auto a = insertClipping(*context, "A", 1, "alpha beta");
    auto b = insertClipping(*context, "B", 2, "gamma");
    ASSERT_TRUE(context->save().ok());
    auto search = [&](const char* needle) {
        FetchRequest request("Clipping");
        request.predicate = Predicate::withFormat("text contains[cd] %@", Value(needle)).value();
        return idsOf(newContext()->fetch(request).value());
    };
    EXPECT_EQ(search("BETA"), std::set<std::string>{"A"});
    a->setValueForKey("text", Value("delta"));
    context->deleteObject(b);
    ASSERT_TRUE(context->save().ok());
    EXPECT_TRUE(search("beta").empty());
    EXPECT_TRUE(search("gamma").empty());
    EXPECT_EQ(search("ELT"), std::set<std::string>{"A"});
}

TEST_F(ObjectStoreTest, ManyDeletionsInOneSaveLeaveNoRowNorSearchEntry) {
    // More deletions than one chunk of keys, spread over the table, with
    // survivors between them.
    auto context = newContext();
    std::vector<std::shared_ptr<ManagedObject>> clippings;
    std::set<std::string> survivors;
    for (int i = 0; i < 400; ++i) {
        std::string id = "C" + std::to_string(i);
        clippings.push_back(insertClipping(*context, id, i, "common word" + std::to_string(i)));
        if (i % 7 == 0) survivors.insert(id);
    }
    ASSERT_TRUE(context->save().ok());
    for (int i = 0; i < 400; ++i)
        if (i % 7 != 0) context->deleteObject(clippings[static_cast<size_t>(i)]);
    ASSERT_TRUE(context->save().ok());
    auto fetch = [&](const char* format, const char* needle) {
        FetchRequest request("Clipping");
        if (format) request.predicate = Predicate::withFormat(format, Value(needle)).value();
        return idsOf(newContext()->fetch(request).value());
    };
    EXPECT_EQ(fetch(nullptr, ""), survivors);
    EXPECT_EQ(fetch("text contains[cd] %@", "COMMON"), survivors);  // the full-text index
    EXPECT_EQ(fetch("text contains[cd] %@", "co"), survivors);      // the folded copies, scanned
    EXPECT_TRUE(fetch("text contains[cd] %@", "word398").empty());
    EXPECT_EQ(fetch("text contains[cd] %@", "word14"), (std::set<std::string>{"C14", "C140", "C147"}));
}

TEST_F(ObjectStoreTest, RollbackForgetsAndRefreshTurnsBackIntoAFault) {
    auto context = newContext();
    auto kept = insertClipping(*context, "kept", 1);
    ASSERT_TRUE(context->save().ok());
    kept->setValueForKey("text", Value("edited"));
    auto dropped = insertClipping(*context, "dropped", 2);
    context->rollback();
    EXPECT_FALSE(context->hasChanges());
    EXPECT_EQ(dropped->managedObjectContext(), nullptr);
    EXPECT_EQ(kept->valueForKey("text").string(), "text");
    context->refreshObject(kept, false);
    EXPECT_TRUE(kept->isFault());
    EXPECT_EQ(context->count(FetchRequest("Clipping")).value(), 1);
}

TEST_F(ObjectStoreTest, OneInstancePerObjectAcrossManyFetches) {
    auto context = newContext();
    for (int i = 0; i < 3000; ++i) insertClipping(*context, "C" + std::to_string(i), i);
    ASSERT_TRUE(context->save().ok());
    FetchRequest request("Clipping");
    request.sortDescriptors = {{"tavloDate", false}};
    std::vector<std::shared_ptr<ManagedObject>> kept;
    {
        auto first = context->fetch(request).value();
        ASSERT_EQ(first.size(), 3000u);
        for (size_t i = 0; i < first.size(); i += 7) kept.push_back(first[i]);
    }  // the others are dropped and unregistered
    auto again = context->fetch(request).value();
    for (size_t k = 0; k < kept.size(); ++k) EXPECT_EQ(again[k * 7], kept[k]);
    kept[0]->setValueForKey("text", Value("edited"));
    kept.clear();
    again.clear();
    // An object with unsaved changes stays registered though nobody holds it.
    auto edited = context->fetch(request).value()[0];
    EXPECT_EQ(edited->valueForKey("text").string(), "edited");
    EXPECT_TRUE(edited->isUpdated());
}

}  // namespace
