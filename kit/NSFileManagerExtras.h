#pragma once
// The application-group container and the clippings' asset folders. Any thread.
//
// Names that come from outside (a clipping identifier from a sync record, a
// pasteboard type) never reach the file system unchecked: a folder is given
// only for a well-formed clipping identifier, and asset file names encode the
// characters a path cannot safely hold, so nothing lands outside the clipping's
// own folder.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/foundation/URL.h"

namespace NSFileManagerExtras {

// The container folder ($XDG_DATA_HOME/Tavlo). Derived from the environment at
// each call, which costs next to nothing and lets tests point it elsewhere.
foundation::URL containerURL();
foundation::URL documentsDirectory();
std::string documentsDirectoryPath();
// The container's "assets" folder.
foundation::URL localAssetsDirectory();
// The clipping's folder in "assets"; nil for nil, and for anything that is not
// "C-" followed by a UUID.
std::optional<foundation::URL> URLForClippingAssetsWithID(const std::optional<std::string>& clippingID);
std::optional<std::string> pathForClippingAssetsWithID(const std::optional<std::string>& clippingID);
std::string logsDirectoryPath();

// "C-" and a UUID in its 8-4-4-4-12 form (either case).
bool isValidClippingID(std::string_view clippingID);
// The file name of an item's representation: the item index, a full stop and
// the type, with "/", "%", "\", control characters and DEL percent-encoded (so
// "0.public.png" stays as it is and "0.image/png" becomes "0.image%2Fpng").
// Nothing for a name longer than a file name may be.
std::optional<std::string> assetFileName(int64_t itemIndex, std::string_view type);
// The item index and the decoded type of an asset file name; nothing for a
// name that assetFileName could not have made.
std::optional<std::pair<int64_t, std::string>> parseAssetFileName(std::string_view fileName);
// The file in the clipping's folder; nothing for an invalid identifier or a
// name that is not a plain file name ("", ".", "..", a "/" or a NUL in it).
std::optional<foundation::URL> URLForAssetFile(const std::optional<std::string>& clippingID, std::string_view fileName);

}  // namespace NSFileManagerExtras
