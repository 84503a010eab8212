#pragma once
// Items and a Qt application for the pasteboard tests.

#include <QGuiApplication>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/desktop/PasteboardItem.h"
#include "platform/foundation/TypeIdentifier.h"

namespace pasteboardtest {

// Runs a shell command quietly; its exit status.
inline int shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

inline desktop::PasteboardItem item(std::vector<std::pair<std::string, std::string>> representations) {
    desktop::PasteboardItem out;
    for (auto& [type, value] : representations) out.setString(type, value);
    return out;
}

// What this program writes for three clippings: text, an image and a file,
// each with the clipping's identifier under the private type.
inline std::vector<desktop::PasteboardItem> threeItems() {
    return {
        item({{foundation::kUTTypeUTF8PlainText, "first"}, {"com.tavlo.clipping-metadata", "C-1"}}),
        item({{foundation::kUTTypePNG, std::string("\x89PNG\r\n\x1a\n\0\1", 10)}, {"com.tavlo.clipping-metadata", "C-2"}}),
        item({{foundation::kUTTypeFileURL, "file:///tmp/x%20y.txt"}, {"com.tavlo.clipping-metadata", "C-3"}}),
    };
}

// A Qt application for as long as it lives; offscreen unless the caller chose.
class GuiApplication {
public:
    GuiApplication() {
        if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        app_ = std::make_unique<QGuiApplication>(argc_, argv_);
    }

private:
    int argc_ = 1;
    char name_[16] = "pasteboard_test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QGuiApplication> app_;
};

}  // namespace pasteboardtest
