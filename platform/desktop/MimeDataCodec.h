#pragma once
// Pasteboard items to and from Qt's QMimeData, for the Qt back-ends (the
// clipboard and drag and drop), after the clipboard's type map. Main thread.

#include <string>
#include <vector>

#include "platform/desktop/Pasteboard.h"

class QMimeData;

namespace desktop {

class MimeDataCodec {
public:
    // The items data holds. A representation over the limits is left out and
    // named in skipped, like names not safe to carry on.
    static std::vector<PasteboardItem> read(const QMimeData& data, const ReadLimits& limits,
                                            std::vector<std::string>& skipped);
    // Replaces data's formats with those that offer items.
    static void write(QMimeData& data, const std::vector<PasteboardItem>& items);
};

}  // namespace desktop
