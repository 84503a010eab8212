#include "sdk/blackbox/BBXSerializeSymbolicatedFramesOperation.h"

#include "platform/foundation/SystemLog.h"
#include "sdk/blackbox/BBXFile.h"

namespace {

const char* text(const std::optional<std::string>& value) { return value ? value->c_str() : nullptr; }

}  // namespace

void BBXSerializeSymbolicatedFramesOperation::main() {
    BBXFile file;
    if (!BBXFileInitWithPathMode(&file, outputPath_.c_str(), false, false)) {
        foundation::systemLog("[Blackbox:Crash:Symbolication] Failed to create output file");
        return;
    }
    BBXFileOpenSection(&file, "threads");
    BBXFileBeginArray(&file);
    if (threadArray()) {
        for (const auto& thread : *threadArray()) {
            BBXFileBeginArray(&file);
            for (const auto& frame : thread) {
                if (!frame) continue;
                BBXFileBeginObject(&file);
                BBXFileWriteStringEntry(&file, "symbol", text(frame->symbol()));
                BBXFileWriteUnsignedEntry(&file, "offset", frame->offset());
                BBXFileWriteStringEntry(&file, "library", text(frame->library()));
                BBXFileEndObject(&file);
            }
            BBXFileEndArray(&file);
        }
    }
    BBXFileEndArray(&file);
    BBXFileCloseSection(&file);
    BBXFileClose(&file);
}
