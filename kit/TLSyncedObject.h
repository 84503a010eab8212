#pragma once
// The sync bookkeeping that Clipping, List and Asset share: whether the object
// is still to be uploaded, when it was last changed (by server time), and the
// archived system fields of its cloud record. An object of the store: used on
// its context's queue only.

#include <optional>

#include "platform/foundation/Data.h"
#include "platform/foundation/Date.h"
#include "platform/store/ManagedObject.h"

class TLSyncedObject : public store::ManagedObject {
public:
    std::optional<foundation::Date> modifiedDate() const { return dateForKey("modifiedDate"); }
    void setModifiedDate(const std::optional<foundation::Date>& v) { setOptionalDate("modifiedDate", v); }
    std::optional<bool> sync() const { return boolForKey("sync"); }
    void setSync(std::optional<bool> v) { setOptionalBool("sync", v); }
    std::optional<foundation::Data> recordSystemFields() const { return dataForKey("recordSystemFields"); }
    void setRecordSystemFields(const std::optional<foundation::Data>& v) { setOptionalData("recordSystemFields", v); }
};
