#pragma once
// Images as capture stores them: converted to PNG, and their average colour,
// which the browser shows before an image's thumbnail is loaded. Decoding runs
// through Qt's image readers (with the image-format plugins, TIFF among them).
// Any thread.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/foundation/Data.h"

class TLImageUtilities {
public:
    // The image in data as PNG bytes; nothing when no reader decodes it.
    static std::optional<foundation::Data> pngData(const foundation::Data& data);
    // The file's image shrunk to one pixel, as premultiplied 0x00RRGGBB; 0 when
    // the file holds no image a reader decodes.
    static uint32_t averageColorOfFile(const std::filesystem::path& path);
    // The type identifier of the image in data ("public.png"); nothing when no
    // reader decodes it.
    static std::optional<std::string> imageTypeOfData(const foundation::Data& data);
};
