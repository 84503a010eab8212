#include "sdk/blackbox/BBXPackageReportOperation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <filesystem>
#include <vector>

#include "sdk/beacon/BCNFileOutputStream.h"
#include "sdk/beacon/BCNMultipartMimeStreamEncoder.h"
#include "sdk/blackbox/BBXFileManager.h"
#include "sdk/blackbox/BBXInternalReport.h"
#include "sdk/blackbox/BBXSDKLog.h"

namespace {

constexpr size_t kCompressionChunkBytes = 64 * 1024;

std::string lastComponent(const std::string& path) { return std::filesystem::path(path).filename().string(); }

// A regular file by its own entry, never by what a link points at.
bool isRegularFile(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

BBXPackageReportOperation::BBXPackageReportOperation(std::shared_ptr<BBXInternalReport> report,
                                                     std::shared_ptr<BBXFileManager> fileManager)
    : report_(std::move(report)), fileManager_(std::move(fileManager)) {}

std::string BBXPackageReportOperation::reportPath() const { return report_ ? report_->path() : std::string(); }

std::string BBXPackageReportOperation::destinationDirectory() const {
    return fileManager_ ? fileManager_->preparedPath() : std::string();
}

std::string BBXPackageReportOperation::packagedPathWithName(const std::string& name) const {
    return destinationDirectory() + "/" + name + "." + kPackageExtension;
}

std::string BBXPackageReportOperation::fieldNameForFile(const std::string& fileName) {
    return std::filesystem::path(fileName).stem().string();
}

std::string BBXPackageReportOperation::compressFile(const std::string& path) const {
    std::string compressedPath = path + ".gz";
    // The package's own file: a link or anything else already at that name
    // is replaced, never written through.
    ::unlink(compressedPath.c_str());
    int out = ::open(compressedPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) return {};
    gzFile gz = gzdopen(out, "w");
    if (!gz) {
        ::close(out);
        return {};
    }
    // No blocking on a FIFO swapped in since the listing, no following a link.
    int in = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat status {};
    if (in >= 0 && (::fstat(in, &status) != 0 || !S_ISREG(status.st_mode))) {
        ::close(in);
        in = -1;
    }
    // An unreadable source gives an empty gzip stream.
    if (in >= 0) {
        std::vector<char> buffer(kCompressionChunkBytes);
        for (;;) {
            ssize_t count = ::read(in, buffer.data(), buffer.size());
            if (count < 0 && errno == EINTR) continue;
            if (count <= 0) break;
            if (gzwrite(gz, buffer.data(), static_cast<unsigned>(count)) != count) {
                BBXSDKLog("%s: Error: Failed to write all compressed bytes\n", __func__);
                break;
            }
        }
        ::close(in);
    }
    if (gzclose(gz) != Z_OK) {
        BBXSDKLog("%s: Error: Failed to write all compressed bytes\n", __func__);
        ::unlink(compressedPath.c_str());
        return {};
    }
    return compressedPath;
}

void BBXPackageReportOperation::main() {
    finalPath_.reset();
    if (!report_ || !fileManager_) return;
    std::string boundary = BCNMultipartMimeStreamEncoder::generateBoundary();
    std::string packagedPath = packagedPathWithName(boundary);
    std::string identifier = report_->identifier();
    std::optional<std::string> apiKey = report_->APIKey();

    auto stream = std::make_shared<BCNFileOutputStream>(packagedPath);
    auto encoder = BCNMultipartMimeStreamEncoder::encoderWithStream(stream, boundary);
    if (!encoder) return;
    encoder->encode([&] {
        encoder->addValue(apiKey, std::string("api_key"));
        if (!identifier.empty()) encoder->addValue(identifier, std::string("report_id"));
        fileManager_->enumerateFilesInDirectory(reportPath(), [&](const std::string& path, const std::string& extension) {
            if (isCancelled() || extension == "gz") return;
            if (!isRegularFile(path)) {
                BBXSDKLog("%s: Skipping '%s': not a regular file\n", "BBXPackageReportOperation", path.c_str());
                return;
            }
            std::string compressedPath = compressFile(path);
            std::string compressedName = lastComponent(compressedPath);
            if (compressedPath.empty() || compressedName.empty()) {
                BBXSDKLog("%s: Error: paths are invalid\n", "BBXPackageReportOperation");
                return;
            }
            encoder->addFile(compressedPath, compressedName, std::string(kPartContentType),
                             fieldNameForFile(lastComponent(path)));
        });
    });
    // A package cut short (a full disk, a failed read) would be sent and
    // then removed as if it were the report: keep the folder instead.
    if (isCancelled() || encoder->failed() || !std::filesystem::exists(packagedPath)) {
        std::error_code ignored;
        std::filesystem::remove(packagedPath, ignored);
        return;
    }
    finalPath_ = packagedPath;
}
