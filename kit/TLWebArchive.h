#pragma once
// A web archive as browsers put it on a pasteboard: a property list with the
// page (its main resource) and the files the page uses (its subresources),
// each with its address, MIME type and bytes. Capture takes the page's
// address from it and, when a copy carries nothing else readable, its images.
// Plain value; any thread.

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Data.h"

struct TLWebResource {
    std::string url;       // "WebResourceURL"
    std::string mimeType;  // "WebResourceMIMEType"
    foundation::Data data;  // "WebResourceData"
};

struct TLWebArchive {
    // The pasteboard type browsers write it under, and the type it is stored as.
    static constexpr const char* kPasteboardType = "Apple Web Archive pasteboard type";

    TLWebResource mainResource;
    // Nothing when the archive has no "WebSubresources" array.
    std::optional<std::vector<TLWebResource>> subresources;

    // Nothing when data is not a property list holding a dictionary.
    static std::optional<TLWebArchive> fromData(const foundation::Data& data);
};
