// Records as callers build them, and the system-fields and change-token
// archives: round trips, and damaged or foreign bytes decoding to nothing.
#include <gtest/gtest.h>

#include <random>

#include "platform/cloud/ByteCodec.h"
#include "platform/cloud/Record.h"
#include "platform/cloud/ServerChangeToken.h"

namespace {

using cloud::Record;
using cloud::ServerChangeToken;
using foundation::Data;

Record storedRecord() {
    return Record::stored("Clipping", {std::string(300, 'n') + "/..", {"Tavlo Zone"}}, {}, "0123456789abcdef",
                          Record::dateFromMilliseconds(1'700'000'000'123), Record::dateFromMilliseconds(1'700'000'000'456));
}

TEST(RecordTest, KeysSetToNothingAreSentAsRemovals) {
    Record record("Clipping", {"C-1", {"Tavlo Zone"}});
    record.setObject("text", std::string("t"));
    record.setObject("url", std::nullopt);
    EXPECT_EQ(record.changedKeys(), (std::set<std::string>{"text", "url"}));
    EXPECT_FALSE(record.objectForKey("url"));
    EXPECT_TRUE(record.recordChangeTag().empty());
}

TEST(RecordTest, SystemFieldsRoundTripWithoutFields) {
    Record record = storedRecord();
    record.setObject("text", std::string("t"));
    auto decoded = Record::withSystemFields(record.encodeSystemFields());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->recordID(), record.recordID());
    EXPECT_EQ(decoded->recordType(), "Clipping");
    EXPECT_EQ(decoded->recordChangeTag(), record.recordChangeTag());
    EXPECT_EQ(decoded->modificationDate(), record.modificationDate());
    EXPECT_EQ(decoded->creationDate(), record.creationDate());
    EXPECT_TRUE(decoded->fields().empty());
    EXPECT_TRUE(decoded->changedKeys().empty());
}

TEST(RecordTest, TokensRoundTrip) {
    const ServerChangeToken token = ServerChangeToken::make({"store", "Tavlo Zone", "incarnation", 42});
    auto back = ServerChangeToken::unarchive(token.archive());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->decode()->changeNumber, 42);
    EXPECT_FALSE(ServerChangeToken::unarchive(Data::fromString("bplist00")));
    EXPECT_FALSE(ServerChangeToken::unarchive(Data()));
}

// Flipped, inserted, dropped and cut bytes, as damaged settings would hold.
TEST(RecordTest, MutatedArchivesDecodeToNothing) {
    const Data archives[] = {storedRecord().encodeSystemFields(),
                             ServerChangeToken::make({"store", "Tavlo Zone", "incarnation", 7}).archive()};
    std::mt19937 random(47);
    int decoded = 0;
    for (int round = 0; round < 20000; ++round) {
        const Data& original = archives[round % 2];
        std::vector<uint8_t> bytes(original.span().begin(), original.span().end());
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits && !bytes.empty(); ++e) {
            const size_t at = random() % bytes.size();
            switch (random() % 4) {
            case 0: bytes[at] ^= static_cast<uint8_t>(1 + random() % 255); break;
            case 1: bytes.insert(bytes.begin() + static_cast<long>(at), static_cast<uint8_t>(random())); break;
            case 2: bytes.erase(bytes.begin() + static_cast<long>(at)); break;
            default: bytes.resize(at); break;
            }
        }
        const Data mutated{bytes};
        if (mutated == original) continue;
        decoded += Record::withSystemFields(mutated).has_value();
        decoded += ServerChangeToken::unarchive(mutated).has_value();
    }
    EXPECT_EQ(decoded, 0);
}

TEST(RecordTest, FieldsOfUnknownKindsAreCarriedWhole) {
    std::map<std::string, cloud::FieldValue> fields{
        {"s", std::string("text")}, {"i", int64_t{-5}}, {"d", 2.5}, {"t", foundation::Date(1.25)},
        {"b", Data::fromString("bytes")}, {"r", cloud::Reference{{"C-1", {"Z"}}, cloud::Reference::DeleteSelf}},
        {"u", cloud::UnknownValue{99, Data::fromString("later")}}};
    auto back = cloud::ByteCodec::decodeFields(cloud::ByteCodec::encodeFields(fields));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, fields);
    std::string cut = cloud::ByteCodec::encodeFields(fields);
    cut.pop_back();
    EXPECT_FALSE(cloud::ByteCodec::decodeFields(cut));
}

}  // namespace
