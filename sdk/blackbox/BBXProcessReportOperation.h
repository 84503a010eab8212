#pragma once
// Symbolicates one report folder at a later launch: loads the report's
// binary-image list, then for each crash record file with threads runs the
// resolve, demangle and write-out steps over its stacks, one after the
// other, and leaves "<record file>.symbolicated" beside it. Run on the
// report lifecycle's work queue, one report at a time.

#include <memory>
#include <string>

#include "platform/dispatch/Operation.h"
#include "sdk/blackbox/BBXStackFrame.h"

class BBXInternalReport;
class BBXSymbolResolver;

class BBXProcessReportOperation : public dispatch::Operation {
public:
    BBXProcessReportOperation(std::shared_ptr<BBXInternalReport> report, std::shared_ptr<BBXSymbolResolver> resolver);

    const std::shared_ptr<BBXInternalReport>& report() const { return report_; }
    const std::shared_ptr<BBXSymbolResolver>& symbolResolver() const { return symbolResolver_; }
    std::string binaryImagePath() const;

    // The stacks of the first "threads" section of a record file: per thread,
    // a frame for each number of its "stacktrace". Null without one.
    static std::shared_ptr<BBXThreadArray> threadArrayFromFile(const std::string& path);
    // True when the file had threads (and its companion file was written).
    bool symbolicateFile(const std::string& path, const std::shared_ptr<BBXSymbolResolver>& resolver);

    void main() override;

private:
    std::shared_ptr<BBXInternalReport> report_;
    std::shared_ptr<BBXSymbolResolver> symbolResolver_;
};
