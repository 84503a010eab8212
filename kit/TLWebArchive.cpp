#include "kit/TLWebArchive.h"

#include "platform/foundation/PropertyList.h"

namespace {

TLWebResource resourceFrom(const foundation::PlistValue* value) {
    TLWebResource resource;
    if (!value) return resource;
    if (auto* url = value->get("WebResourceURL"); url && url->asString()) resource.url = *url->asString();
    if (auto* mime = value->get("WebResourceMIMEType"); mime && mime->asString()) resource.mimeType = *mime->asString();
    if (auto* data = value->get("WebResourceData"); data && data->asData()) resource.data = *data->asData();
    return resource;
}

}  // namespace

std::optional<TLWebArchive> TLWebArchive::fromData(const foundation::Data& data) {
    auto plist = foundation::PropertyList::read(data.span());
    if (!plist || !plist.value().asDictionary()) return std::nullopt;
    const foundation::PlistValue& root = plist.value();
    TLWebArchive archive;
    archive.mainResource = resourceFrom(root.get("WebMainResource"));
    if (auto* list = root.get("WebSubresources"); list && list->asArray()) {
        archive.subresources.emplace();
        for (const auto& item : *list->asArray()) archive.subresources->push_back(resourceFrom(&item));
    }
    return archive;
}
