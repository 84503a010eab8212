#pragma once
// A store on a temporary file with the application's model, and helpers to fill it.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "platform/store/Context.h"
#include "platform/store/Coordinator.h"
#include "platform/store/Model.h"
#include "tests/support/TempHome.h"

namespace storetest {

inline std::filesystem::path modelResource() { return std::filesystem::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd"; }

inline std::shared_ptr<const store::Model> tavloModel() {
    static auto model = store::Model::loadResource(modelResource());
    EXPECT_TRUE(model.ok()) << (model.ok() ? "" : model.error().description());
    return model.value();
}

class StoreTest : public ::testing::Test {
protected:
    std::filesystem::path storePath() const { return home_.root() / "datastore"; }

    std::shared_ptr<store::Coordinator> openCoordinator(std::shared_ptr<const store::Model> model = tavloModel()) {
        auto coordinator = std::make_shared<store::Coordinator>(model);
        auto added = coordinator->addSQLiteStore(storePath());
        EXPECT_TRUE(added.ok()) << (added.ok() ? "" : added.error().description());
        return coordinator;
    }
    std::unique_ptr<store::Context> newContext() { return std::make_unique<store::Context>(openCoordinator()); }

    static std::set<std::string> idsOf(const store::Context::Objects& objects, const std::string& key = "clippingID") {
        std::set<std::string> ids;
        for (const auto& o : objects) ids.insert(o->valueForKey(key).string());
        return ids;
    }

    testsupport::TempHome home_;
};

}  // namespace storetest
