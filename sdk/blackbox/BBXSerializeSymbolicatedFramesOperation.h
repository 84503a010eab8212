#pragma once
// The last step of symbolication: the thread array written beside the record
// file, as one "threads" section holding, per thread, an object per frame
// with "symbol", "offset" and "library" (plain strings, null when unknown).

#include <string>

#include "sdk/blackbox/BBXThreadArrayOperation.h"

class BBXSerializeSymbolicatedFramesOperation : public BBXThreadArrayOperation {
public:
    BBXSerializeSymbolicatedFramesOperation(std::shared_ptr<BBXThreadArray> threadArray, std::string outputPath)
        : BBXThreadArrayOperation(std::move(threadArray)), outputPath_(std::move(outputPath)) {}

    const std::string& outputPath() const { return outputPath_; }
    void main() override;

private:
    std::string outputPath_;
};
