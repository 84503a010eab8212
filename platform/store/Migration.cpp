#include "platform/store/Migration.h"

#include "platform/store/Database.h"
#include "platform/store/Schema.h"
#include "platform/store/StoreError.h"

namespace store {

namespace {

foundation::Error incompatible(const std::string& why) {
    return makeError(ErrorCode::IncompatibleModel, "The store cannot be migrated to the current model: " + why);
}

std::string searchableColumns(const Entity& e) {
    std::string out;
    for (const Property& p : e.properties())
        if (p.searchable) out += p.name + ",";
    return out;
}

}  // namespace

foundation::Result<MigrationPlan> Migration::plan(const Model& stored, const Model& current) {
    if (stored.version() > current.version())
        return incompatible("it was written by a newer model (version " + std::to_string(stored.version()) + ")");
    MigrationPlan plan;
    for (const Entity& old : stored.entities())
        if (!current.entity(old.name())) {
            plan.statements.push_back("DROP TABLE IF EXISTS " + Schema::table(old));
            plan.statements.push_back("DROP TABLE IF EXISTS " + Schema::searchTable(old));
        }
    for (const Entity& entity : current.entities()) {
        const Entity* old = stored.entity(entity.name());
        if (!old) {
            for (auto& s : Schema::createTable(entity)) plan.statements.push_back(s);
            plan.reindexedEntities.insert(entity.name());
            if (entity.hasSearchIndex()) plan.researchedEntities.insert(entity.name());
            continue;
        }
        const std::string table = Schema::table(entity);
        for (const Property& was : old->properties()) {
            if (entity.property(was.name) || !was.hasColumn()) continue;
            plan.statements.push_back("ALTER TABLE " + table + " DROP COLUMN " + Schema::column(was));
            if (was.large) plan.statements.push_back("ALTER TABLE " + table + " DROP COLUMN " + Schema::keyColumn(was));
        }
        for (const Property& p : entity.properties()) {
            const Property* was = old->property(p.name);
            const std::string where = entity.name() + "." + p.name;
            if (!was) {
                if (!p.hasColumn()) continue;
                plan.statements.push_back("ALTER TABLE " + table + " ADD COLUMN " + Schema::column(p) + " " +
                                          Schema::columnType(p));
                if (p.large) plan.statements.push_back("ALTER TABLE " + table + " ADD COLUMN " + Schema::keyColumn(p) + " INTEGER");
                continue;
            }
            if (was->kind != p.kind) return incompatible(where + " changed its kind");
            if (p.isAttribute()) {
                if (was->type != p.type) return incompatible(where + " changed its type");
                if (was->large != p.large) {
                    if (p.large) {
                        plan.statements.push_back("ALTER TABLE " + table + " ADD COLUMN " + Schema::keyColumn(p) + " INTEGER");
                        plan.statements.push_back("UPDATE " + table + " SET " + Schema::keyColumn(p) + " = tl_key(" +
                                                  Schema::column(p) + ")");
                    } else {
                        plan.statements.push_back("ALTER TABLE " + table + " DROP COLUMN " + Schema::keyColumn(p));
                    }
                }
            } else if (was->destination != p.destination) {
                return incompatible(where + " changed its destination");
            }
        }
        plan.reindexedEntities.insert(entity.name());
        if (searchableColumns(*old) != searchableColumns(entity)) {
            plan.statements.push_back("DROP TABLE IF EXISTS " + Schema::searchTable(entity));
            if (entity.hasSearchIndex()) plan.researchedEntities.insert(entity.name());
        }
    }
    return plan;
}

}  // namespace store
