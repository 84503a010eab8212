#include "Record.h"

#include <cmath>

#include "ByteCodec.h"
#include "platform/foundation/UUID.h"

namespace cloud {

namespace {

constexpr const char* kSystemFieldsMark = "TLSF";
constexpr uint8_t kSystemFieldsVersion = 1;
// Names of 300 bytes and more are stored; this only bounds a damaged input.
constexpr size_t kMaxNameBytes = 4096;
constexpr size_t kMaxSystemFieldsBody = 5 * (kMaxNameBytes + 4) + 2 * 9;

void putDate(std::string& out, const std::optional<foundation::Date>& date) {
    ByteCodec::putU8(out, date ? 1 : 0);
    ByteCodec::putDouble(out, date ? date->timeIntervalSince1970() : 0);
}

std::optional<std::optional<foundation::Date>> getDate(std::string_view& in) {
    auto present = ByteCodec::getU8(in);
    auto seconds = ByteCodec::getDouble(in);
    if (!present || !seconds || *present > 1 || !std::isfinite(*seconds)) return std::nullopt;
    return *present ? std::optional(foundation::Date(*seconds)) : std::nullopt;
}

}  // namespace

Record::Record(std::string recordType)
    : recordType_(std::move(recordType)),
      recordID_{foundation::UUID::random().string(), {kDefaultZoneName}} {}

Record::Record(std::string recordType, RecordID recordID)
    : recordType_(std::move(recordType)), recordID_(std::move(recordID)) {}

std::optional<FieldValue> Record::objectForKey(const std::string& key) const {
    auto it = fields_.find(key);
    if (it == fields_.end()) return std::nullopt;
    return it->second;
}

void Record::setObject(const std::string& key, std::optional<FieldValue> value) {
    if (value)
        fields_[key] = std::move(*value);
    else
        fields_.erase(key);
    changedKeys_.insert(key);
}

foundation::Data Record::encodeSystemFields() const {
    std::string body;
    ByteCodec::putBytes(body, recordID_.recordName);
    ByteCodec::putBytes(body, recordID_.zoneID.zoneName);
    ByteCodec::putBytes(body, recordID_.zoneID.ownerName);
    ByteCodec::putBytes(body, recordType_);
    ByteCodec::putBytes(body, changeTag_);
    putDate(body, creationDate_);
    putDate(body, modificationDate_);
    const std::string sealed = ByteCodec::seal(kSystemFieldsMark, kSystemFieldsVersion, body);
    return foundation::Data(sealed.data(), sealed.size());
}

std::optional<Record> Record::withSystemFields(const foundation::Data& bytes) {
    auto body = ByteCodec::unseal(kSystemFieldsMark, kSystemFieldsVersion,
                                  {reinterpret_cast<const char*>(bytes.bytes()), bytes.length()}, kMaxSystemFieldsBody);
    if (!body) return std::nullopt;
    std::string_view in = *body;
    auto name = ByteCodec::getBytes(in, kMaxNameBytes);
    auto zone = ByteCodec::getBytes(in, kMaxNameBytes);
    auto owner = ByteCodec::getBytes(in, kMaxNameBytes);
    auto type = ByteCodec::getBytes(in, kMaxNameBytes);
    auto tag = ByteCodec::getBytes(in, kMaxNameBytes);
    auto created = getDate(in);
    auto modified = getDate(in);
    if (!name || !zone || !owner || !type || !tag || !created || !modified || !in.empty()) return std::nullopt;
    Record record(std::move(*type), RecordID{std::move(*name), {std::move(*zone), std::move(*owner)}});
    record.changeTag_ = std::move(*tag);
    record.creationDate_ = *created;
    record.modificationDate_ = *modified;
    return record;
}

Record Record::stored(std::string recordType, RecordID recordID, std::map<std::string, FieldValue> fields,
                      std::string changeTag, foundation::Date created, foundation::Date modified) {
    Record record(std::move(recordType), std::move(recordID));
    record.fields_ = std::move(fields);
    record.changeTag_ = std::move(changeTag);
    record.creationDate_ = created;
    record.modificationDate_ = modified;
    return record;
}

foundation::Date Record::dateFromMilliseconds(int64_t milliseconds) {
    return foundation::Date(static_cast<double>(milliseconds) / 1000.0);
}

}  // namespace cloud
