#pragma once
// The model's time-stamp record (entity "Meta"); part of the model, read and
// written by nothing. An object of the store: used on its context's queue only.

#include <optional>

#include "platform/foundation/Date.h"
#include "platform/store/ManagedObject.h"

class Meta : public store::ManagedObject {
public:
    static constexpr const char* kEntityName = "Meta";

    std::optional<foundation::Date> stamp() const { return dateForKey("stamp"); }
    void setStamp(const std::optional<foundation::Date>& v) { setOptionalDate("stamp", v); }
};
