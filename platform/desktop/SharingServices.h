#pragma once
// Ways to hand clippings to the rest of the desktop, as a share menu offers
// them: "Email" (a new message in the desktop's mail program with the texts
// and links as its body), "Save to File…" (one item written to a file the user
// picks) and "Open With Default Application" (each item in the program the
// desktop opens its kind with: a text or an image through a private copy
// readable by the user alone, a link as itself). A service is offered only
// for items it can take whole. Main thread.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QIcon>
#include <QImage>
#include <QString>

#include "platform/foundation/Error.h"

namespace desktop {

// One thing to share: a text, a link or an image.
struct SharingItem {
    enum class Kind { Text, URL, Image };
    Kind kind = Kind::Text;
    QString text;  // the text, or the link's address
    QImage image;

    static SharingItem withText(QString text) { return {Kind::Text, std::move(text), {}}; }
    static SharingItem withURL(QString url) { return {Kind::URL, std::move(url), {}}; }
    static SharingItem withImage(QImage image) { return {Kind::Image, {}, std::move(image)}; }
};

class SharingService;

// Hears how a share went.
class SharingServiceDelegate {
public:
    virtual ~SharingServiceDelegate() = default;
    virtual void sharingServiceDidShareItems(SharingService&, const std::vector<SharingItem>&) {}
    virtual void sharingServiceDidFailToShareItems(SharingService&, const std::vector<SharingItem>&,
                                                   const foundation::Error&) {}
};

class SharingService : public std::enable_shared_from_this<SharingService> {
public:
    virtual ~SharingService() = default;

    const std::string& title() const { return title_; }
    const QIcon& image() const;
    std::shared_ptr<SharingServiceDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(std::weak_ptr<SharingServiceDelegate> delegate) { delegate_ = std::move(delegate); }

    virtual bool canPerformWithItems(const std::vector<SharingItem>& items) const = 0;
    // Shares the items; the delegate hears the outcome (for "Save to File…",
    // once the user has picked a file; nothing when the user cancels).
    virtual void performWithItems(const std::vector<SharingItem>& items) = 0;

protected:
    SharingService(std::string title, QString iconName);
    void succeeded(const std::vector<SharingItem>& items);
    void failed(const std::vector<SharingItem>& items, const foundation::Error& error);

private:
    std::string title_;
    QString iconName_;
    mutable QIcon image_;
    std::weak_ptr<SharingServiceDelegate> delegate_;
};

class SharingServices {
public:
    static constexpr const char* kEmail = "Email";
    static constexpr const char* kSaveToFile = "Save to File\u2026";
    static constexpr const char* kOpenWithDefaultApplication = "Open With Default Application";
    static constexpr const char* kErrorDomain = "SharingServicesErrorDomain";
    // A mail body longer than this, once encoded in the address, is more than
    // a command line carries to the mail program.
    static constexpr size_t kMaxMailtoBytes = 64 * 1024;

    // The services that can take the items, in menu order; none for no items.
    static std::vector<std::shared_ptr<SharingService>> servicesForItems(const std::vector<SharingItem>& items);

    // The address "Email" opens for the items: "mailto:?body=" and the texts and
    // links, one a line, percent-encoded.
    static std::string mailtoURLForItems(const std::vector<SharingItem>& items);

    // Where "Save to File…" writes: asks the user (a save dialog) unless a test
    // has put an answer in its place; an empty answer is a cancel.
    using SavePanel = std::function<std::optional<std::filesystem::path>(const std::string& suggestedName)>;
    static void setSavePanel(SavePanel panel);
};

}  // namespace desktop
