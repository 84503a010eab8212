#pragma once
// A store of CopyQ's size for the benchmarks that set Tavlo beside it: texts
// of 1 KB each ("<i> " and 1,000 x's), the newest last, in a container folder.
#include <cstdio>
#include <filesystem>
#include <string>

#include "kit/Clipping.h"
#include "kit/TLDatabaseManager.h"
#include "platform/store/Context.h"

namespace bench {

inline void writeKilobyteTexts(const std::filesystem::path& container, int count) {
    TLDatabaseManager database(TLDatabaseManager::Configuration{
        std::filesystem::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd", container, 5000});
    auto context = database.managedObjectContext();
    const std::string kilobyte(1000, 'x');
    const double now = foundation::Date::now().timeIntervalSince1970();
    for (int i = 0; i < count; ++i) {
        auto clipping = std::static_pointer_cast<Clipping>(context->insertNewObject(Clipping::kEntityName));
        clipping->setClippingID(Clipping::makeClippingID());
        clipping->setText(std::to_string(i) + " " + kilobyte);
        clipping->setTavloDate(foundation::Date(now - count + i));
        clipping->setAddDate(foundation::Date(now - count + i));
    }
    if (!context->save()) std::fprintf(stderr, "the texts could not be saved\n");
    auto parent = database.parentManagedObjectContext();
    parent->performBlockAndWait([&] {
        if (!parent->save()) std::fprintf(stderr, "the texts could not be written\n");
    });
}

}  // namespace bench
