#include "DatabaseOperation.h"

#include <filesystem>

#include "Record.h"

namespace cloud {

void DatabaseOperation::removeDownloadedAssets(const Record& record) {
    for (const auto& [key, value] : record.fields())
        if (const auto* asset = std::get_if<Asset>(&value)) {
            std::error_code error;
            std::filesystem::remove(asset->fileURL, error);
        }
}

}  // namespace cloud
