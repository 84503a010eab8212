#pragma once
// Identifiers of session fragments and events: new upper-case UUID texts with
// hyphens. Virtual so that tests can give known identifiers; any thread.

#include <string>

class BBXAnalyticsIdentifierGenerator {
public:
    virtual ~BBXAnalyticsIdentifierGenerator() = default;
    virtual std::string generateSessionFragmentIdentifier();
    virtual std::string generateEventIdentifier();
};
