#include <gtest/gtest.h>

#include "StoreFixture.h"
#include "platform/store/Predicate.h"
#include "platform/store/SQLTranslator.h"
#include "platform/store/Schema.h"
#include "platform/store/StoreError.h"

#include <sqlite3.h>

using namespace store;

namespace {

class PredicateStoreTest : public storetest::StoreTest {
protected:
    void SetUp() override {
        auto context = newContext();
        auto list = [&](const char* id, const char* name) {
            auto l = context->insertNewObject("List");
            l->setValueForKey("listID", Value(id));
            l->setValueForKey("name", Value(name));
            return l;
        };
        auto l1 = list("L1", "Éclair recipes");
        auto l2 = list("L2", "Work");
        struct Sample {
            const char* id;
            Value text, url, urlName, image, sync, data;
            std::shared_ptr<ManagedObject> list;
            double date;
        };
        const Value none;
        const Sample samples[] = {
            {"C1", Value("Café au lait"), none, none, none, Value(true), none, l1, 100},
            {"C2", none, Value("https://example.com/Page"), Value("Example Page"), none, Value(false), none, nullptr, 200},
            {"C3", Value("' OR 1=1 --"), none, none, none, none, none, nullptr, 300},
            {"C4", none, none, none, Value("public.png"), none, Value(Value::Bytes{}), nullptr, 400},
            {"C5", Value("plain text"), none, none, none, none, Value(Value::Bytes{1, 2, 3}), l2, 500},
            {"C6", none, none, none, none, Value(false), none, nullptr, 600},
        };
        for (const Sample& s : samples) {
            auto c = context->insertNewObject("Clipping");
            c->setValueForKey("clippingID", Value(s.id));
            c->setValueForKey("text", s.text);
            c->setValueForKey("url", s.url);
            c->setValueForKey("urlName", s.urlName);
            c->setValueForKey("image", s.image);
            c->setValueForKey("sync", s.sync);
            c->setValueForKey("recordSystemFields", s.data);
            c->setObjectForKey("list", s.list);
            c->setValueForKey("tavloDate", Value::date(s.date));
            c->setValueForKey("index", Value(int64_t(s.date / 100)));
        }
        ASSERT_TRUE(context->save().ok());
        list1_ = l1->objectID();
        list2_ = l2->objectID();
    }

    ObjectID list1_, list2_;
};

struct Row {
    const char* name;
    const char* format;
    std::vector<Value> (*arguments)(const ObjectID& l1, const ObjectID& l2);
    std::set<std::string> expected;
    bool inSQL = true;  // the whole predicate is said in SQL
};

std::vector<Value> noArgs(const ObjectID&, const ObjectID&) { return {}; }

const Row kRows[] = {
    {"browser without list", "text != NULL OR url != NULL OR image != NULL", noArgs, {"C1", "C2", "C3", "C4", "C5"}},
    {"browser hiding list items", "(text != NULL OR url != NULL OR image != NULL) AND list == NULL", noArgs,
     {"C2", "C3", "C4"}},
    {"browser in a list", "(text != NULL OR url != NULL OR image != NULL) AND list == %@",
     [](const ObjectID& l1, const ObjectID&) { return std::vector<Value>{Value(l1)}; }, {"C1"}},
    {"search with list name",
     "(text != NULL OR url != NULL OR image != NULL) AND (url contains[cd] %@ OR text contains[cd] %@ OR urlSource "
     "contains[cd] %@ OR urlName contains[cd] %@ OR list.name contains[cd] %@)",
     [](const ObjectID&, const ObjectID&) { return std::vector<Value>(5, Value("ECLA")); }, {"C1"}},
    {"search folds accents in the text", "text contains[cd] %@",
     [](const ObjectID&, const ObjectID&) { return std::vector<Value>{Value("cafe")}; }, {"C1"}},
    {"search with a short needle", "text contains[cd] %@ OR url contains[cd] %@",
     [](const ObjectID&, const ObjectID&) { return std::vector<Value>{Value("É"), Value("É")}; }, {"C1", "C2", "C5"}},
    {"search in a list", "list == %@ AND (url contains[cd] %@ OR text contains[cd] %@)",
     [](const ObjectID&, const ObjectID& l2) { return std::vector<Value>{Value(l2), Value("TEXT"), Value("TEXT")}; },
     {"C5"}},
    {"injection is literal", "text contains[cd] %@ OR urlName contains[cd] %@",
     [](const ObjectID&, const ObjectID&) { return std::vector<Value>{Value("' OR 1=1 --"), Value("' OR 1=1 --")}; },
     {"C3"}},
    {"injection in equality", "text == %@",
     [](const ObjectID&, const ObjectID&) { return std::vector<Value>{Value("x' OR '1'='1")}; }, {}},
    {"case-sensitive contains", "text contains %@",
     [](const ObjectID&, const ObjectID&) { return std::vector<Value>{Value("café")}; }, {}},
    {"nil relationship key path", "list.name contains[cd] %@",
     [](const ObjectID&, const ObjectID&) { return std::vector<Value>{Value("o")}; }, {"C5"}},
    {"nil relationship equals nil", "list.name == nil", noArgs, {"C2", "C3", "C4", "C6"}},
    {"key path not equal", "list.name != %@",
     [](const ObjectID&, const ObjectID&) { return std::vector<Value>{Value("Work")}; }, {"C1", "C2", "C3", "C4", "C6"}},
    {"empty clippings", "text == NULL AND url == NULL AND image == NULL", noArgs, {"C6"}},
    {"duplicate test", "text == %@ OR url == %@",
     [](const ObjectID&, const ObjectID&) { return std::vector<Value>{Value("plain text"), Value("plain text")}; },
     {"C5"}},
    {"identifier IN", "clippingID IN %@",
     [](const ObjectID&, const ObjectID&) {
         return std::vector<Value>{Value(std::vector<std::string>{"C2", "C4", "C9"})};
     },
     {"C2", "C4"}},
    {"IN with nil", "url IN %@",
     [](const ObjectID&, const ObjectID&) { return std::vector<Value>{Value(std::vector<Value>{Value(), Value("x")})}; },
     {"C1", "C3", "C4", "C5", "C6"}},
    {"IN literal, case-insensitive", "clippingID IN[c] {'c1', 'c3'}", noArgs, {"C1", "C3"}},
    {"case-insensitive equality", "urlName ==[c] %@",
     [](const ObjectID&, const ObjectID&) { return std::vector<Value>{Value("example PAGE")}; }, {"C2"}},
    {"spaced option", "urlName == [c]%@",
     [](const ObjectID&, const ObjectID&) { return std::vector<Value>{Value("EXAMPLE page")}; }, {"C2"}},
    {"sync YES", "sync == %@", [](const ObjectID&, const ObjectID&) { return std::vector<Value>{Value(true)}; }, {"C1"}},
    {"nil is not NO", "sync == NO", noArgs, {"C2", "C6"}},
    {"not equal keeps nil", "sync != YES", noArgs, {"C2", "C3", "C4", "C5", "C6"}},
    {"never uploaded", "recordSystemFields MATCHES %@ OR recordSystemFields == nil",
     [](const ObjectID&, const ObjectID&) { return std::vector<Value>{Value(".{0}")}; }, {"C1", "C2", "C3", "C4", "C6"}},
    {"key substitution", "%K == %@",
     [](const ObjectID&, const ObjectID&) { return std::vector<Value>{Value("clippingID"), Value("C3")}; }, {"C3"}},
    {"date comparison", "tavloDate > %@ AND tavloDate <= %@",
     [](const ObjectID&, const ObjectID&) { return std::vector<Value>{Value::date(150), Value::date(400)}; },
     {"C2", "C3", "C4"}},
    {"a date is not a number", "tavloDate > 0", noArgs, {}},
    {"number comparison", "index >= 3 AND NOT (index == 5)", noArgs, {"C3", "C4", "C6"}},
    {"a string is not a number", "index == '3'", noArgs, {}},
    {"begins and ends", "url BEGINSWITH 'https' OR text ENDSWITH[c] 'LAIT'", noArgs, {"C1", "C2"}},
    {"folded begins, ends and key path contains",
     "urlName BEGINSWITH[cd] 'EXÂMPLE' OR list.name ENDSWITH[cd] 'RÉCIPES' OR list.name CONTAINS[cd] 'WÖR'", noArgs,
     {"C1", "C2", "C5"}},
    {"a needle of marks alone folds to nothing", "text contains[cd] %@ OR list.name contains[cd] %@",
     [](const ObjectID&, const ObjectID&) { return std::vector<Value>{Value("\u0301"), Value("\u0301")}; }, {}},
    {"like", "text LIKE[c] '*TEXT'", noArgs, {"C5"}},
    {"matches", "url MATCHES 'https://[a-z]+\\\\.com/.*'", noArgs, {"C2"}},
    {"object in array", "list IN %@",
     [](const ObjectID& l1, const ObjectID& l2) { return std::vector<Value>{Value(std::vector<Value>{Value(l1), Value(l2)})}; },
     {"C1", "C5"}},
    {"true and false", "TRUEPREDICATE AND NOT FALSEPREDICATE AND clippingID == 'C6'", noArgs, {"C6"}},
    {"key compared with key", "addDate == tavloDate OR clippingID == 'C2'", noArgs, {"C2"}, false},
};

TEST_F(PredicateStoreTest, EveryFormGivesTheSameAnswerInSQLAndInMemory) {
    auto context = newContext();
    FetchRequest all("Clipping");
    auto everything = context->fetch(all);
    ASSERT_TRUE(everything.ok());
    ASSERT_EQ(everything.value().size(), 6u);
    const Entity& clipping = *context->model().entity("Clipping");
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        auto predicate = Predicate::withFormatArguments(row.format, row.arguments(list1_, list2_));
        ASSERT_TRUE(predicate.ok()) << predicate.error().description();
        EXPECT_EQ(SQLTranslator(context->model(), clipping).translate(*predicate.value()).complete, row.inSQL);

        std::set<std::string> inMemory;
        for (const auto& o : everything.value())
            if (predicate.value()->evaluate(*o)) inMemory.insert(o->valueForKey("clippingID").string());
        EXPECT_EQ(inMemory, row.expected);

        auto fresh = newContext();
        FetchRequest request("Clipping");
        request.predicate = predicate.value();
        auto inSQL = fresh->fetch(request);
        ASSERT_TRUE(inSQL.ok()) << inSQL.error().description();
        EXPECT_EQ(idsOf(inSQL.value()), row.expected);
        auto counted = fresh->count(request);
        ASSERT_TRUE(counted.ok());
        EXPECT_EQ(counted.value(), static_cast<int64_t>(row.expected.size()));
    }
}

TEST(PredicateFormatTest, RejectsMalformedFormatsAndArgumentCounts) {
    const char* bad[] = {"text ==", "text == %@ AND", "(text == nil", "text ~ 'x'", "text == 'open", "AND == 1",
                         "text == %@ %@"};
    for (const char* format : bad) {
        SCOPED_TRACE(format);
        auto p = Predicate::withFormat(format, Value("x"));
        ASSERT_FALSE(p.ok());
        EXPECT_TRUE(isStoreError(p.error(), ErrorCode::InvalidPredicate));
    }
    EXPECT_FALSE(Predicate::withFormat("text == %@").ok());
    EXPECT_FALSE(Predicate::withFormat("%K == 1", Value(1)).ok());
}

TEST(PredicateFormatTest, WritesItselfBack) {
    auto p = Predicate::withFormat("(text != NULL OR url contains[cd] %@) AND NOT index < 3", Value("a\"b"));
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(p.value()->format(), "(text != nil OR url CONTAINS[cd] \"a\\\"b\") AND NOT (index < 3)");
}

TEST_F(PredicateStoreTest, UnknownKeysAreRequestErrors) {
    auto context = newContext();
    FetchRequest request("Clipping");
    request.predicate = Predicate::withFormat("nosuchkey == 1").value();
    auto r = context->fetch(request);
    ASSERT_FALSE(r.ok());
    EXPECT_TRUE(isStoreError(r.error(), ErrorCode::InvalidPredicate));
    request.predicate = Predicate::withFormat("assets.filename == 'x'").value();
    EXPECT_FALSE(context->fetch(request).ok());
}

class LongTextSearchTest : public storetest::StoreTest {};

// The search copy of a long text is cut; a search still finds what lies past the cut.
TEST_F(LongTextSearchTest, WordsPastTheSearchCopyAreFound) {
    std::string filler;
    while (filler.size() < Schema::kSearchCopyLimit + 40'000) filler += "lorem ipsum ";
    {
        auto context = newContext();
        auto add = [&](const std::string& id, const std::string& text) {
            auto c = context->insertNewObject("Clipping");
            c->setValueForKey("clippingID", Value(id));
            c->setValueForKey("text", Value(text));
        };
        // A two-byte character straddles the cut, which falls inside it.
        add("C-long", std::string(Schema::kSearchCopyLimit - 1, 'a') + "\u00E9" + filler + "Z\u00E9bulon \u00FC");
        add("C-short", "zebra");
        add("C-sentence", "The slow brown fox leaps over the lazy dog, then sleeps");
        ASSERT_TRUE(context->save().ok());
    }
    struct Row {
        const char* name;
        const char* format;
        std::set<std::string> expected;
    };
    const Row rows[] = {
        {"word past the cut", "text CONTAINS[cd] 'zebulon'", {"C-long"}},
        {"in both", "text CONTAINS[cd] 'ZEB'", {"C-long", "C-short"}},
        {"one character past the cut", "text CONTAINS[cd] 'u\u0308'", {"C-long"}},
        {"short needle", "text CONTAINS[cd] 'ra'", {"C-short"}},
        {"across the cut", "text CONTAINS[cd] 'aelorem'", {"C-long"}},
        {"in no text", "text CONTAINS[cd] 'nothing'", {}},
        {"two columns, one needle", "text CONTAINS[cd] 'bulon' OR urlName CONTAINS[cd] 'bulon'", {"C-long"}},
        // Past the index's lookup length: looked up by its start, checked whole.
        {"long needle", "text CONTAINS[cd] 'SLOW BROWN FOX LEAPS OVER THE LAZY DÖG, THEN'", {"C-sentence"}},
        {"long needle whose start alone is there", "text CONTAINS[cd] 'slow brown fox leaps over the lazy cat, then'", {}},
        {"long needle past the cut", "text CONTAINS[cd] 'ipsum lorem ipsum lorem ipsum zebulon'", {"C-long"}},
    };
    auto context = newContext();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto predicate = Predicate::withFormat(row.format);
        ASSERT_TRUE(predicate.ok());
        FetchRequest request("Clipping");
        request.predicate = predicate.value();
        auto found = context->fetch(request);
        ASSERT_TRUE(found.ok()) << found.error().description();
        EXPECT_EQ(idsOf(found.value()), row.expected);
    }

    const Entity& clipping = *context->model().entity("Clipping");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(storePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    std::string sql = "SELECT max(length(CAST(" + Schema::searchContentColumn(clipping, *clipping.property("text")) +
                      " AS BLOB))) FROM " + Schema::searchContentTable(clipping);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_LE(static_cast<size_t>(sqlite3_column_int64(statement, 0)), Schema::kSearchCopyLimit + 3);
    sqlite3_finalize(statement);
    sqlite3_close(db);
}

}  // namespace
