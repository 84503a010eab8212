#pragma once
// One saved pasteboard content (entity "Clipping"). An object of the store:
// used on its context's queue only (the main queue for the main context).
//
// Every attribute is optional: nil is distinct from an empty string, 0 or NO.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Data.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/URL.h"
#include "kit/TLSyncedObject.h"

class List;
class Asset;
class TLPasteboardItem;

class Clipping : public TLSyncedObject {
public:
    static constexpr const char* kEntityName = "Clipping";
    static constexpr const char* kIDPrefix = "C-";

    // "C-" and a new upper-case UUID (38 characters).
    static std::string makeClippingID();

    std::optional<std::string> clippingID() const { return stringForKey("clippingID"); }
    void setClippingID(const std::optional<std::string>& v) { setOptionalString("clippingID", v); }
    std::optional<foundation::Date> addDate() const { return dateForKey("addDate"); }
    void setAddDate(const std::optional<foundation::Date>& v) { setOptionalDate("addDate", v); }
    std::optional<foundation::Date> tavloDate() const { return dateForKey("tavloDate"); }
    void setTavloDate(const std::optional<foundation::Date>& v) { setOptionalDate("tavloDate", v); }
    std::optional<std::string> text() const { return stringForKey("text"); }
    void setText(const std::optional<std::string>& v) { setOptionalString("text", v); }
    // The text without a copy (it may be tens of megabytes); null for none.
    std::shared_ptr<const std::string> sharedText() const { return sharedStringForKey("text"); }
    void setText(std::shared_ptr<const std::string> v) { setSharedString("text", std::move(v)); }
    std::optional<std::string> url() const { return stringForKey("url"); }
    void setUrl(const std::optional<std::string>& v) { setOptionalString("url", v); }
    std::optional<std::string> urlName() const { return stringForKey("urlName"); }
    void setUrlName(const std::optional<std::string>& v) { setOptionalString("urlName", v); }
    std::optional<std::string> urlSource() const { return stringForKey("urlSource"); }
    void setUrlSource(const std::optional<std::string>& v) { setOptionalString("urlSource", v); }
    std::optional<std::string> image() const { return stringForKey("image"); }
    void setImage(const std::optional<std::string>& v) { setOptionalString("image", v); }
    std::optional<int64_t> color() const { return integerForKey("color"); }
    void setColor(std::optional<int64_t> v) { setOptionalInteger("color", v); }
    std::optional<int64_t> items() const { return integerForKey("items"); }
    void setItems(std::optional<int64_t> v) { setOptionalInteger("items", v); }
    std::optional<int64_t> index() const { return integerForKey("index"); }
    void setIndex(std::optional<int64_t> v) { setOptionalInteger("index", v); }
    std::optional<int64_t> pasteboardIndex() const { return integerForKey("pasteboardIndex"); }
    void setPasteboardIndex(std::optional<int64_t> v) { setOptionalInteger("pasteboardIndex", v); }
    std::optional<std::string> deviceName() const { return stringForKey("deviceName"); }
    void setDeviceName(const std::optional<std::string>& v) { setOptionalString("deviceName", v); }
    std::optional<int64_t> tavloStyle() const { return integerForKey("tavloStyle"); }
    void setTavloStyle(std::optional<int64_t> v) { setOptionalInteger("tavloStyle", v); }
    std::optional<std::string> tavloTemplate() const { return stringForKey("tavloTemplate"); }
    void setTavloTemplate(const std::optional<std::string>& v) { setOptionalString("tavloTemplate", v); }
    std::optional<std::string> video() const { return stringForKey("video"); }
    void setVideo(const std::optional<std::string>& v) { setOptionalString("video", v); }
    std::optional<std::string> files() const { return stringForKey("files"); }
    void setFiles(const std::optional<std::string>& v) { setOptionalString("files", v); }

    std::shared_ptr<List> list() const;
    void setList(const std::shared_ptr<List>& list);
    // The clipping's assets (a set; in the order they were made).
    std::vector<std::shared_ptr<Asset>> assets() const;
    void addAssetsObject(const std::shared_ptr<Asset>& asset);
    void removeAssetsObject(const std::shared_ptr<Asset>& asset);

    // The clipping as pasteboard items again, from its fields and the files of
    // its asset folder; every item carries the clipping identifier under the
    // private type. Image files are copied into a folder of this clipping's
    // own in the temporary folder, so items refer to them by file URL and two
    // clippings never share a copy. Nothing past the stored item count.
    std::shared_ptr<TLPasteboardItem> pasteboardItemAtIndex(int64_t index) const;
    std::vector<std::shared_ptr<TLPasteboardItem>> pasteboardItems() const;
    // How many image files the asset folder holds.
    int64_t numberOfImages() const;
    // The image file of that item index (the first in listing order).
    std::optional<foundation::URL> URLForImageAssetAtIndex(int64_t index) const;

    // The fields the items are made from, taken on the context's queue, so
    // the files can be read on any thread after (the copy-back reads them
    // where the asset files are written, never on the main thread).
    struct Contents {
        std::optional<std::string> clippingID, text, url, image;
        std::optional<int64_t> items;
    };
    Contents contents() const;
    // As the members above, from contents taken earlier. Any thread.
    static std::shared_ptr<TLPasteboardItem> pasteboardItemAtIndex(const Contents& contents, int64_t index);
    static int64_t numberOfImages(const Contents& contents);
    static std::optional<foundation::URL> URLForImageAssetAtIndex(const Contents& contents, int64_t index);
};
