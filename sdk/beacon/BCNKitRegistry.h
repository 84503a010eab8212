#pragma once
// The kit classes known by name in this process: the stand-in for looking a
// class up at run time ("Blackbox", "Tally", "Verify"). Any thread; a
// registered description lives, at the same address, as long as the registry.

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "sdk/beacon/BCNKit.h"

class BCNKitRegistry {
public:
    // The process's registry, which the program fills at start.
    static BCNKitRegistry& shared();

    BCNKitRegistry() = default;
    BCNKitRegistry(const BCNKitRegistry&) = delete;
    BCNKitRegistry& operator=(const BCNKitRegistry&) = delete;

    // Registers the class under its name and answers its lasting description. A
    // name registered already keeps its first description, which is answered.
    const BCNKitClass* registerKitClass(BCNKitClass kitClass);
    // The class registered under name; null when there is none.
    const BCNKitClass* classNamed(const std::string& name) const;
    // Every registered class, in the order of registration.
    std::vector<const BCNKitClass*> registeredClasses() const;

private:
    mutable std::mutex mutex_;
    std::deque<BCNKitClass> classes_;  // a deque keeps addresses as it grows
};
