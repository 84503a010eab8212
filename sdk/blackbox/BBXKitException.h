#pragma once
// The kit's own exception object: a name, a reason and the return addresses
// of the place it was made. The application reports one that escaped an
// event handler through its exception reporter (BBXApplicationHooks.h); the
// terminate handler leaves it to that reporter.

#include <cstdint>
#include <string>
#include <vector>

class BBXKitException {
public:
    // The call stack is taken here, innermost caller first.
    BBXKitException(std::string name, std::string reason);

    const std::string& name() const { return name_; }
    const std::string& reason() const { return reason_; }
    const std::vector<uintptr_t>& callStackReturnAddresses() const { return returnAddresses_; }

private:
    std::string name_;
    std::string reason_;
    std::vector<uintptr_t> returnAddresses_;
};
