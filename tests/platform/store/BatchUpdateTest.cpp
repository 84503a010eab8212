// The batch update: rows changed in the store in one statement, and the
// objects that contexts over the coordinator had loaded showing the new values.

#include <gtest/gtest.h>

#include "ContextFixture.h"
#include "platform/store/BatchUpdateRequest.h"
#include "platform/store/SQLTranslator.h"

namespace storetest {
namespace {

using store::Value;

// Never-uploaded objects: no system fields, or empty ones.
const char* kNeverUploaded = "recordSystemFields MATCHES %@ OR recordSystemFields == nil";

class BatchUpdateTest : public ContextTest {
protected:
    // C-nil (no fields), C-empty (empty fields), C-kept (fields, sync NO), all saved.
    void fillStore() {
        makeStack();
        main_->performBlockAndWait([&] {
            insertClipping(*main_, "C-nil")->setValueForKey("sync", Value(false));
            auto empty = insertClipping(*main_, "C-empty");
            empty->setValueForKey("recordSystemFields", Value(Value::Bytes()));
            empty->setValueForKey("sync", Value(false));
            auto kept = insertClipping(*main_, "C-kept");
            kept->setValueForKey("recordSystemFields", Value(Value::Bytes{1, 2, 3}));
            kept->setValueForKey("sync", Value(false));
            ASSERT_TRUE(main_->save().ok());
        });
        root_->performBlockAndWait([&] { ASSERT_TRUE(root_->save().ok()); });
    }
    static store::BatchUpdateRequest markRequest() {
        store::BatchUpdateRequest request("Clipping");
        request.predicate = store::Predicate::withFormat(kNeverUploaded, Value(".{0}")).value();
        request.propertiesToUpdate = {{"sync", Value(true)}};
        return request;
    }
    std::map<std::string, bool> storedSync() {
        store::Context reader(openCoordinator());
        std::map<std::string, bool> out;
        auto all = reader.fetch(store::FetchRequest("Clipping"));
        for (const auto& o : all.value())
            out[o->valueForKey("clippingID").string()] = o->valueForKey("sync").boolValue();
        return out;
    }
    std::set<std::string> labelsOf(const std::vector<store::ObjectID>& ids) {
        std::set<std::string> out;
        root_->performBlockAndWait([&] {
            for (const auto& id : ids) out.insert(label(*root_->objectWithID(id)));
        });
        return out;
    }
};

TEST_F(BatchUpdateTest, SetsTheMatchedRowsAndAnswersTheirIDs) {
    fillStore();
    foundation::Result<std::vector<store::ObjectID>> updated = std::vector<store::ObjectID>();
    root_->performBlockAndWait([&] { updated = store::executeBatchUpdate(*root_, markRequest()); });
    ASSERT_TRUE(updated.ok()) << updated.error().description();
    EXPECT_EQ(labelsOf(updated.value()), (std::set<std::string>{"Clipping C-nil", "Clipping C-empty"}));
    EXPECT_EQ(storedSync(), (std::map<std::string, bool>{{"C-nil", true}, {"C-empty", true}, {"C-kept", false}}));

    // Nothing left to match answers no IDs and changes nothing.
    root_->performBlockAndWait([&] {
        store::BatchUpdateRequest none("Clipping");
        none.predicate = store::Predicate::withFormat("clippingID == %@", Value("C-none")).value();
        none.propertiesToUpdate = {{"sync", Value(false)}};
        updated = store::executeBatchUpdate(*root_, none);
    });
    ASSERT_TRUE(updated.ok());
    EXPECT_TRUE(updated.value().empty());
}

TEST_F(BatchUpdateTest, EmptyTestIsAnsweredInSQLFromTheHashColumn) {
    // A large value is never read for "empty": the condition names its hash column.
    const store::Entity& clipping = *tavloModel()->entity("Clipping");
    auto predicate = store::Predicate::withFormat(kNeverUploaded, Value(".{0}")).value();
    store::SQLCondition condition = store::SQLTranslator(*tavloModel(), clipping).translate(*predicate);
    EXPECT_TRUE(condition.complete);
    EXPECT_NE(condition.sql.find("recordSystemFields$key"), std::string::npos) << condition.sql;
    EXPECT_EQ(condition.sql.find("tl_cmp"), std::string::npos) << condition.sql;

    // ... and agrees with the in-memory answer, including a value whose hash
    // is not the empty one and a string attribute.
    fillStore();
    for (const char* format : {"recordSystemFields MATCHES %@", "text MATCHES %@"}) {
        auto p = store::Predicate::withFormat(format, Value(".{0}")).value();
        std::set<std::string> inSQL, inMemory;
        root_->performBlockAndWait([&] {
            store::FetchRequest request("Clipping");
            request.predicate = p;
            inSQL = idsOf(root_->fetch(request).value());
            auto all = root_->fetch(store::FetchRequest("Clipping"));
            for (const auto& o : all.value())
                if (p->evaluate(*o)) inMemory.insert(o->valueForKey("clippingID").string());
        });
        EXPECT_EQ(inSQL, inMemory) << format;
    }
}

TEST_F(BatchUpdateTest, ContextsThatLoadedTheObjectsReadTheNewValues) {
    fillStore();
    auto child = newChild(main_);
    std::shared_ptr<store::ManagedObject> inMain, edited, inChild;
    ASSERT_TRUE(pumpUntil([&] { return true; }));
    main_->performBlockAndWait([&] {
        auto all = main_->fetch(store::FetchRequest("Clipping")).value();
        for (const auto& o : all) {
            EXPECT_FALSE(o->valueForKey("sync").boolValue());  // loaded before the update
            if (o->valueForKey("clippingID").string() == "C-nil") inMain = o;
            if (o->valueForKey("clippingID").string() == "C-empty") edited = o;
        }
        // An unsaved edit of the main context stays over the stored value.
        edited->setValueForKey("text", Value("edited"));
    });
    child->performBlockAndWait([&] {
        store::FetchRequest request("Clipping");
        request.predicate = store::Predicate::withFormat("clippingID == %@", Value("C-nil")).value();
        request.returnsObjectsAsFaults = false;
        inChild = child->fetch(request).value().at(0);
        EXPECT_FALSE(inChild->valueForKey("sync").boolValue());
    });

    root_->performBlockAndWait([&] { ASSERT_TRUE(store::executeBatchUpdate(*root_, markRequest()).ok()); });

    bool mainSees = false, childSees = false;
    EXPECT_TRUE(pumpUntil([&] {
        main_->performBlockAndWait([&] {
            mainSees = inMain->valueForKey("sync").boolValue() && edited->valueForKey("sync").boolValue();
        });
        child->performBlockAndWait([&] { childSees = inChild->valueForKey("sync").boolValue(); });
        return mainSees && childSees;
    }));
    main_->performBlockAndWait([&] {
        EXPECT_EQ(edited->valueForKey("text").string(), "edited");
        EXPECT_TRUE(main_->hasChanges());
    });
}

TEST_F(BatchUpdateTest, RefusesWhatItCannotWriteInPlace) {
    fillStore();
    struct Case {
        const char* what;
        std::string entity;
        std::string key;
        Value value;
        const char* format;
    };
    const std::vector<Case> cases = {
        {"unknown entity", "Tag", "sync", Value(true), nullptr},
        {"unknown key", "Clipping", "colour", Value(int64_t(1)), nullptr},
        {"searchable attribute", "Clipping", "text", Value("x"), nullptr},
        {"relationship", "Clipping", "list", Value(), nullptr},
        {"wrong kind", "Clipping", "addDate", Value("today"), nullptr},
        {"predicate only memory answers", "Clipping", "sync", Value(true), "addDate == tavloDate"},
    };
    for (const auto& c : cases) {
        store::BatchUpdateRequest request(c.entity);
        request.propertiesToUpdate = {{c.key, c.value}};
        if (c.format) request.predicate = store::Predicate::withFormat(c.format).value();
        root_->performBlockAndWait([&] {
            auto result = store::executeBatchUpdate(*root_, request);
            EXPECT_FALSE(result.ok()) << c.what;
        });
    }
    EXPECT_EQ(storedSync(), (std::map<std::string, bool>{{"C-nil", false}, {"C-empty", false}, {"C-kept", false}}));
}

}  // namespace
}  // namespace storetest
