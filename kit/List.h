#pragma once
// A named list of clippings that the user makes (entity "List"). An object of
// the store: used on its context's queue only.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Data.h"
#include "platform/foundation/Date.h"
#include "kit/TLSyncedObject.h"

class Clipping;

class List : public TLSyncedObject {
public:
    static constexpr const char* kEntityName = "List";
    static constexpr const char* kIDPrefix = "L-";

    // "L-" and a new upper-case UUID.
    static std::string makeListID();

    std::optional<std::string> listID() const { return stringForKey("listID"); }
    void setListID(const std::optional<std::string>& v) { setOptionalString("listID", v); }
    std::optional<std::string> name() const { return stringForKey("name"); }
    void setName(const std::optional<std::string>& v) { setOptionalString("name", v); }

    // The list's clippings (a set; in the order they were made).
    std::vector<std::shared_ptr<Clipping>> clippings() const;
    void addClippingsObject(const std::shared_ptr<Clipping>& clipping);
    void removeClippingsObject(const std::shared_ptr<Clipping>& clipping);
};
