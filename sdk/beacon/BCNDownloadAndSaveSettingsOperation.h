#pragma once
// Downloads the settings document and puts it in the cache: a GET with the
// kits' headers (one repeat for a retryable failure), then the document,
// checked to be a JSON object of at most kMaxDocumentBytes, written over the
// cached file through a temporary file in the cache folder, a flush and a
// rename. Until the new file is in place the old one stays: a failed download,
// a document that is no JSON object, or a failed write leaves the last good
// settings where they were. Started directly; keeps itself alive until its
// delegate has been told.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Bundle.h"
#include "sdk/beacon/BCNDownloadAndSaveSettingsOperationDelegate.h"
#include "sdk/beacon/BCNNetworkClient.h"
#include "sdk/beacon/BCNNetworkOperation.h"

class BCNDownloadAndSaveSettingsOperation : public BCNNetworkOperation {
public:
    static constexpr const char* kErrorDomain = "BCNSettingsErrorDomain";
    // A settings document is a few kilobytes; anything near this is no settings.
    static constexpr uint64_t kMaxDocumentBytes = uint64_t{16} << 20;

    // The advertising token is kept only when the bundle lets the kits report
    // device identifiers.
    BCNDownloadAndSaveSettingsOperation(std::string APIKey,
                                        std::weak_ptr<BCNDownloadAndSaveSettingsOperationDelegate> delegate,
                                        std::string settingsURL, std::filesystem::path settingsDirectoryPath,
                                        std::filesystem::path settingsFilePath, std::string installIdentifier,
                                        std::optional<std::string> advertisingToken,
                                        std::weak_ptr<BCNNetworkClient> networkClient,
                                        std::shared_ptr<foundation::Bundle> bundle = foundation::Bundle::main());

    const std::string& settingsURL() const { return settingsURL_; }
    const std::optional<std::string>& advertisingToken() const { return advertisingToken_; }
    std::optional<foundation::Error> error() const;

    // The request main() sends.
    net::URLRequest settingsRequest() const;
    void setRequestTimeout(double seconds) { timeout_ = seconds; }

    void main() override;

private:
    void downloadFinished(const std::optional<std::filesystem::path>& location,
                          const std::optional<foundation::Error>& error);
    std::optional<foundation::Error> saveDocument(const std::filesystem::path& location);
    void finishWithError(std::optional<foundation::Error> error);

    std::weak_ptr<BCNDownloadAndSaveSettingsOperationDelegate> delegate_;
    const std::string settingsURL_;
    const std::filesystem::path settingsDirectoryPath_;
    const std::filesystem::path settingsFilePath_;
    const std::string installIdentifier_;
    std::optional<std::string> advertisingToken_;
    std::weak_ptr<BCNNetworkClient> networkClient_;
    double timeout_ = kDefaultTimeout;
    mutable std::mutex mutex_;
    std::optional<foundation::Error> error_;
};
