#pragma once
// Kits as the bootstrap sees them. C++ has no classes to look up by name at run
// time, so each kit class is described once, by an explicit call to
// BCNKitRegistry::registerKitClass (never from a static initialiser, which a
// static library may drop and whose order is unknown), and its instances point
// back at that description.
//
// A kit class either adopts the kit protocol (conformsToBCNKit with its two
// required class operations) or is a legacy kit: one whose sharedInstance()
// gives an instance answering start, bundleIdentifier and version.

#include <functional>
#include <memory>
#include <string>
#include <variant>

class BCNKitInstance;

struct BCNKitClass {
    std::string name;

    // The kit protocol: bundleIdentifier and kitDisplayVersion are required,
    // kitBuildVersion and initializeIfNeeded optional.
    bool conformsToBCNKit = false;
    std::function<std::string()> bundleIdentifier;
    std::function<std::string()> kitDisplayVersion;
    std::function<std::string()> kitBuildVersion;
    std::function<void()> initializeIfNeeded;

    // Legacy kits (and any class that offers one): the shared instance.
    std::function<std::shared_ptr<BCNKitInstance>()> sharedInstance;

    // Adopts the protocol with both required operations in place.
    bool isBCNKit() const { return conformsToBCNKit && bundleIdentifier && kitDisplayVersion; }

    // A class that adopts the protocol, with its identity and its start.
    static BCNKitClass conforming(std::string name, std::string identifier, std::string displayVersion,
                                  std::string buildVersion, std::function<void()> initialize) {
        BCNKitClass kit;
        kit.name = std::move(name);
        kit.conformsToBCNKit = true;
        kit.bundleIdentifier = [identifier] { return identifier; };
        kit.kitDisplayVersion = [displayVersion] { return displayVersion; };
        kit.kitBuildVersion = [buildVersion] { return buildVersion; };
        kit.initializeIfNeeded = std::move(initialize);
        return kit;
    }
};

// An instance of a kit class.
class BCNKitInstance {
public:
    virtual ~BCNKitInstance() = default;

    // The class this is an instance of.
    virtual const BCNKitClass* kitClass() const = 0;

    // Whether start, bundleIdentifier and version are answered (legacy kits).
    virtual bool answersLegacyKitOperations() const { return false; }
    virtual void start() {}
    virtual std::string bundleIdentifier() const { return {}; }
    virtual std::string version() const { return {}; }
};

// What Beacon::with takes: a kit class, or an instance standing for its class.
using BCNKitReference = std::variant<const BCNKitClass*, std::shared_ptr<BCNKitInstance>>;
