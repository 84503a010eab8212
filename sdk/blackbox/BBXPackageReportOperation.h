#pragma once
// Packs one report folder into prepared/<boundary>.multipartmime: a multipart
// body with "api_key" and "report_id" (each left out when the report has
// none), then one "application/x-gzip" part per file of the folder, in listing
// order, named by the file's own name without its last extension. Each file
// is compressed beside itself (<file>.gz, gzip at zlib's default level) and
// streamed into the package from there; leftover ".gz" files and hidden names
// are not packed.
//
// Only regular files are packed: a symbolic link, FIFO, folder or device in
// the folder is passed over with an "sdk.log" line and never followed or
// opened. A file that cannot be read is packed as an empty gzip stream.
//
// Run synchronously with start(). finalPath() is the package once it is
// whole; a cancelled run, or one whose package could not be written whole,
// leaves no package behind.

#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/Operation.h"

class BBXFileManager;
class BBXInternalReport;

class BBXPackageReportOperation : public dispatch::Operation {
public:
    static constexpr const char* kPartContentType = "application/x-gzip";
    static constexpr const char* kPackageExtension = "multipartmime";

    BBXPackageReportOperation(std::shared_ptr<BBXInternalReport> report, std::shared_ptr<BBXFileManager> fileManager);

    const std::shared_ptr<BBXInternalReport>& report() const { return report_; }
    const std::shared_ptr<BBXFileManager>& fileManager() const { return fileManager_; }
    const std::optional<std::string>& finalPath() const { return finalPath_; }

    std::string reportPath() const;
    // The "prepared" folder.
    std::string destinationDirectory() const;
    // prepared/<name>.multipartmime
    std::string packagedPathWithName(const std::string& name) const;
    // Writes path + ".gz" and answers it; empty when that file cannot be made.
    std::string compressFile(const std::string& path) const;
    // The part name of a file: its name without the last extension.
    static std::string fieldNameForFile(const std::string& fileName);

    void main() override;

private:
    std::shared_ptr<BBXInternalReport> report_;
    std::shared_ptr<BBXFileManager> fileManager_;
    std::optional<std::string> finalPath_;
};
