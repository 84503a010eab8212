#include "platform/store/Model.h"

#include <cctype>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/store/StoreError.h"

namespace store {

using foundation::Result;
using nlohmann::json;

int Entity::propertyIndex(std::string_view name) const {
    auto it = byName_.find(name);
    return it == byName_.end() ? -1 : it->second;
}

const Property* Entity::property(std::string_view name) const {
    int i = propertyIndex(name);
    return i < 0 ? nullptr : &properties_[static_cast<size_t>(i)];
}

namespace {

constexpr size_t kMaxProperties = 64;  // one bit per property in an object's masks

foundation::Error invalid(const std::string& what) { return makeError(ErrorCode::InvalidModel, what); }

bool isIdentifier(const std::string& s) {
    if (s.empty() || s.size() > 100) return false;
    if (!(std::isalpha(static_cast<unsigned char>(s[0])) || s[0] == '_')) return false;
    for (char c : s)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
    return s != "pk";  // the primary-key column
}

Result<std::string> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return invalid("Cannot read the model file " + path.string());
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool parseType(const std::string& s, AttributeType& type) {
    static const std::pair<const char*, AttributeType> kTypes[] = {
        {"string", AttributeType::String},   {"integer", AttributeType::Integer}, {"double", AttributeType::Double},
        {"boolean", AttributeType::Boolean}, {"date", AttributeType::Date},       {"binary", AttributeType::Binary}};
    for (const auto& [name, t] : kTypes)
        if (s == name) {
            type = t;
            return true;
        }
    return false;
}

bool parseDeleteRule(const std::string& s, DeleteRule& rule) {
    static const std::pair<const char*, DeleteRule> kRules[] = {{"nullify", DeleteRule::Nullify},
                                                                 {"cascade", DeleteRule::Cascade},
                                                                 {"deny", DeleteRule::Deny},
                                                                 {"noAction", DeleteRule::NoAction}};
    for (const auto& [name, r] : kRules)
        if (s == name) {
            rule = r;
            return true;
        }
    return false;
}

}  // namespace

Result<std::shared_ptr<Model>> Model::loadResource(const std::filesystem::path& momd) {
    std::error_code ec;
    if (!std::filesystem::is_directory(momd, ec)) return invalid("No model resource at " + momd.string());
    auto info = readFile(momd / "VersionInfo.json");
    if (!info) return info.error();
    json parsed = json::parse(info.value(), nullptr, false);
    if (!parsed.is_object() || !parsed.contains("currentVersion") || !parsed["currentVersion"].is_string())
        return invalid("VersionInfo.json does not name the current version");
    std::string current = parsed["currentVersion"].get<std::string>();
    if (current.find('/') != std::string::npos || current.find("..") != std::string::npos)
        return invalid("Bad current version name " + current);
    return loadFile(momd / (current + ".json"));
}

Result<std::shared_ptr<Model>> Model::loadFile(const std::filesystem::path& file) {
    auto text = readFile(file);
    if (!text) return text.error();
    return fromJSON(text.value());
}

Result<std::shared_ptr<Model>> Model::fromJSON(std::string_view text) {
    json root = json::parse(text, nullptr, false);
    if (root.is_discarded() || !root.is_object()) return invalid("The model is not a JSON object");
    auto model = std::shared_ptr<Model>(new Model);
    try {
        model->name_ = root.value("name", "");
        model->version_ = root.value("version", int64_t(1));
        const json& entities = root.at("entities");
        if (!entities.is_array() || entities.empty()) return invalid("The model has no entities");
        json canonicalEntities = json::array();
        for (const json& e : entities) {
            Entity entity;
            entity.name_ = e.at("name").get<std::string>();
            if (!isIdentifier(entity.name_)) return invalid("Bad entity name " + entity.name_);
            if (model->entity(entity.name_)) return invalid("Duplicate entity " + entity.name_);
            entity.className_ = e.value("class", entity.name_);
            entity.index_ = static_cast<uint32_t>(model->entities_.size());
            json canonicalAttributes = json::array(), canonicalRelationships = json::array();
            for (const json& a : e.value("attributes", json::array())) {
                Property p;
                p.name = a.at("name").get<std::string>();
                if (!parseType(a.at("type").get<std::string>(), p.type))
                    return invalid("Bad type of " + entity.name_ + "." + p.name);
                p.large = a.value("large", false);
                p.searchable = a.value("searchable", false);
                if (p.large && p.type != AttributeType::String && p.type != AttributeType::Binary)
                    return invalid("Only strings and data can be large: " + entity.name_ + "." + p.name);
                if (p.searchable && p.type != AttributeType::String)
                    return invalid("Only strings can be searchable: " + entity.name_ + "." + p.name);
                entity.hasSearchIndex_ = entity.hasSearchIndex_ || p.searchable;
                canonicalAttributes.push_back({{"name", p.name}, {"type", a.at("type")}, {"large", p.large},
                                               {"searchable", p.searchable}});
                entity.properties_.push_back(std::move(p));
            }
            for (const json& r : e.value("relationships", json::array())) {
                Property p;
                p.name = r.at("name").get<std::string>();
                p.kind = r.value("toMany", false) ? Property::Kind::ToMany : Property::Kind::ToOne;
                p.destination = r.at("destination").get<std::string>();
                p.inverse = r.value("inverse", "");
                if (!parseDeleteRule(r.value("deleteRule", "nullify"), p.deleteRule))
                    return invalid("Bad delete rule of " + entity.name_ + "." + p.name);
                canonicalRelationships.push_back({{"name", p.name}, {"toMany", p.isToMany()},
                                                  {"destination", p.destination}, {"inverse", p.inverse},
                                                  {"deleteRule", r.value("deleteRule", "nullify")}});
                entity.properties_.push_back(std::move(p));
            }
            if (entity.properties_.size() > kMaxProperties) return invalid("Too many properties in " + entity.name_);
            for (size_t i = 0; i < entity.properties_.size(); ++i) {
                const Property& p = entity.properties_[i];
                if (!isIdentifier(p.name)) return invalid("Bad property name " + entity.name_ + "." + p.name);
                if (!entity.byName_.emplace(p.name, static_cast<int>(i)).second)
                    return invalid("Duplicate property " + entity.name_ + "." + p.name);
                if (p.hasColumn()) entity.columnMask_ |= uint64_t(1) << i;
            }
            json canonicalIndexes = json::array();
            for (const json& index : e.value("indexes", json::array())) {
                std::vector<IndexElement> elements;
                for (const json& element : index) {
                    std::string key = element.get<std::string>();
                    bool descending = !key.empty() && key[0] == '-';
                    bool included = !key.empty() && key[0] == '+';
                    if (descending || included) key.erase(0, 1);
                    int pi = entity.propertyIndex(key);
                    if (pi < 0 || !entity.properties_[static_cast<size_t>(pi)].hasColumn())
                        return invalid("Index of " + entity.name_ + " names no column: " + key);
                    elements.push_back({pi, descending, included});
                }
                if (elements.empty()) return invalid("Empty index in " + entity.name_);
                entity.indexes_.push_back(std::move(elements));
                canonicalIndexes.push_back(index);
            }
            canonicalEntities.push_back({{"name", entity.name_},
                                         {"attributes", canonicalAttributes},
                                         {"relationships", canonicalRelationships},
                                         {"indexes", canonicalIndexes}});
            model->entities_.push_back(std::move(entity));
        }
        // Resolve relationships and check that each pair of inverses agrees. A
        // to-many is stored as its inverse's column, so it needs a to-one inverse.
        for (Entity& entity : model->entities_) {
            for (Property& p : entity.properties_) {
                if (p.isAttribute()) continue;
                const Entity* destination = model->entity(p.destination);
                if (!destination) return invalid("Unknown destination of " + entity.name_ + "." + p.name);
                p.destinationEntity = destination->index_;
                p.inverseIndex = p.inverse.empty() ? -1 : destination->propertyIndex(p.inverse);
                if (p.isToMany() && p.inverseIndex < 0)
                    return invalid("The to-many relationship " + entity.name_ + "." + p.name + " needs an inverse");
                if (p.inverseIndex >= 0) {
                    const Property& inv = destination->properties_[static_cast<size_t>(p.inverseIndex)];
                    if (inv.isAttribute() || inv.destination != entity.name_ || inv.inverse != p.name)
                        return invalid("Inverses do not match: " + entity.name_ + "." + p.name);
                    if (p.isToMany() && inv.isToMany())
                        return invalid("Many-to-many relationships are not supported: " + entity.name_ + "." + p.name);
                }
            }
        }
        json canonical = {{"name", model->name_}, {"version", model->version_}, {"entities", canonicalEntities}};
        model->canonical_ = canonical.dump();
    } catch (const json::exception& e) {
        return invalid(std::string("Malformed model: ") + e.what());
    }
    model->factories_.resize(model->entities_.size());
    return model;
}

const Entity* Model::entity(std::string_view name) const {
    for (const Entity& e : entities_)
        if (e.name_ == name) return &e;
    return nullptr;
}

void Model::setObjectFactory(std::string_view entityName, ObjectFactory factory) {
    if (const Entity* e = entity(entityName)) factories_[e->index_] = std::move(factory);
}

}  // namespace store
