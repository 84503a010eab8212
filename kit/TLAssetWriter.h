#pragma once
// Writes one capture's asset files into the new clipping's folder. It works
// from the items of a snapshot of the pasteboard taken when the capture was
// decided (read-only, shared with the main thread, never copied), so the
// files always hold the content that was judged, however the clipboard changed
// since. Runs on the capture's writer queue, off the main thread: it touches
// only the file system and what it was given, and answers what it wrote.
//
// Files are named by item number, a full stop and the type (see
// NSFileManagerExtras::assetFileName), created 0600 in a 0700 folder. Reads of
// files named by the pasteboard take regular files only, so a FIFO or a device
// offered as an image cannot hold the writer.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kit/TLPasteboardItem.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/URL.h"

class TLAssetWriter {
public:
    // Image files larger than this are not copied into the history.
    static constexpr size_t kMaxImageFileBytes = size_t{1} << 30;

    struct Written {
        std::vector<std::string> files;        // file names written, in order
        int64_t items = 0;                     // pasteboard items stored
        std::optional<std::string> imageType;  // the clipping's image type, as stored
        std::optional<uint32_t> color;         // average colour of that image
        std::optional<std::string> urlSource;  // the page a web archive came from (http only)
        std::optional<std::string> url;        // the first image's address in a web archive
    };
    struct ImageFile {
        foundation::URL url;
        std::string type;
    };

    TLAssetWriter(std::filesystem::path folder, std::vector<std::string> excludedTypes);

    // The chosen item's representations as item 0 (types in order, TIFF stored
    // as PNG, the web archive renamed), then every later item that has a
    // supported type under its position counted from the chosen item. With no
    // data for the image type of an item whose link ends in ".gif", the image
    // type is dropped: the image is to be fetched from the link instead.
    Written writeItems(const std::vector<std::shared_ptr<TLPasteboardItem>>& items, size_t chosen,
                       const std::vector<std::string>& types, std::optional<std::string> imageType,
                       const std::string& itemURL);
    // Copies of the image files, numbered over the files taken; a file that
    // cannot be read (missing, not a regular file, too large) is passed over.
    Written copyImageFiles(const std::vector<ImageFile>& files);
    // The images among a web archive's subresources, numbered over the images
    // written; the first one's address becomes the clipping's link.
    Written writeWebArchiveImages(const foundation::Data& archive);

private:
    // Writes data as item index under type; false when it could not be written.
    // Writes one asset file; a failure is logged and leaves the file out.
    bool write(Written& written, int64_t index, const std::string& type, const foundation::Data& data);
    // Names the file, makes the folder, has save write the file and records it.
    foundation::Result<void> store(Written& written, int64_t index, const std::string& type,
                                   const std::function<foundation::Result<void>(const std::filesystem::path&)>& save);
    foundation::Result<void> makeFolder();

    std::filesystem::path folder_;
    std::vector<std::string> excludedTypes_;
    bool folderMade_ = false;
};
