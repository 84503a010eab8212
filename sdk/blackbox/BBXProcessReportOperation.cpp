#include "sdk/blackbox/BBXProcessReportOperation.h"

#include "sdk/blackbox/BBXDemangleOperation.h"
#include "sdk/blackbox/BBXFile.h"
#include "sdk/blackbox/BBXInternalReport.h"
#include "sdk/blackbox/BBXSerializeSymbolicatedFramesOperation.h"
#include "sdk/blackbox/BBXSymbolResolver.h"
#include "sdk/blackbox/BBXSymbolicationOperation.h"

BBXProcessReportOperation::BBXProcessReportOperation(std::shared_ptr<BBXInternalReport> report,
                                                     std::shared_ptr<BBXSymbolResolver> resolver)
    : report_(std::move(report)), symbolResolver_(std::move(resolver)) {}

std::string BBXProcessReportOperation::binaryImagePath() const {
    return report_ ? report_->binaryImagePath() : std::string();
}

void BBXProcessReportOperation::main() {
    if (!report_ || !symbolResolver_ || !symbolResolver_->loadBinaryImagesFromFile(binaryImagePath())) return;
    report_->enumerateSymbolicatableFilesInContent(
        [this](const std::string& path) { symbolicateFile(path, symbolResolver_); });
}

std::shared_ptr<BBXThreadArray> BBXProcessReportOperation::threadArrayFromFile(const std::string& path) {
    auto sections = BBXFileReadSections(path.c_str(), false, [](const foundation::PlistValue& section) {
        const foundation::PlistValue* threads = section.get("threads");
        return threads ? std::optional<foundation::PlistValue>(*threads) : std::nullopt;
    });
    if (!sections || sections->empty()) return nullptr;
    auto threadArray = std::make_shared<BBXThreadArray>();
    if (const auto* threads = sections->front().asArray()) {
        for (const auto& thread : *threads) {
            std::vector<std::shared_ptr<BBXStackFrame>> frames;
            const foundation::PlistValue* stack = thread.get("stacktrace");
            if (stack && stack->asArray()) {
                for (const auto& address : *stack->asArray()) {
                    if (auto integer = address.asInteger())
                        frames.push_back(BBXStackFrame::stackFrameWithAddress(static_cast<uint64_t>(*integer)));
                    else if (auto real = address.asReal())
                        frames.push_back(BBXStackFrame::stackFrameWithAddress(static_cast<uint64_t>(*real)));
                }
            }
            threadArray->push_back(std::move(frames));
        }
    }
    return threadArray;
}

bool BBXProcessReportOperation::symbolicateFile(const std::string& path,
                                                const std::shared_ptr<BBXSymbolResolver>& resolver) {
    std::shared_ptr<BBXThreadArray> threadArray = threadArrayFromFile(path);
    if (!threadArray) return false;
    BBXSymbolicationOperation symbolication(threadArray, resolver);
    BBXDemangleOperation demangling(threadArray);
    BBXSerializeSymbolicatedFramesOperation serialization(threadArray, path + ".symbolicated");
    symbolication.start();
    demangling.start();
    serialization.start();
    return true;
}
