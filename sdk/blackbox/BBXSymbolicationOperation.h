#pragma once
// The first step of symbolication: every frame of the thread array named by
// the resolver.

#include <memory>

#include "sdk/blackbox/BBXSymbolResolver.h"
#include "sdk/blackbox/BBXThreadArrayOperation.h"

class BBXSymbolicationOperation : public BBXThreadArrayOperation {
public:
    BBXSymbolicationOperation(std::shared_ptr<BBXThreadArray> threadArray,
                              std::shared_ptr<BBXSymbolResolver> symbolResolver)
        : BBXThreadArrayOperation(std::move(threadArray)), symbolResolver_(std::move(symbolResolver)) {}

    const std::shared_ptr<BBXSymbolResolver>& symbolResolver() const { return symbolResolver_; }
    void main() override;

private:
    std::shared_ptr<BBXSymbolResolver> symbolResolver_;
};
