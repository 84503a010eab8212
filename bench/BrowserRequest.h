#pragma once
// The clippings panel's fetch as the benchmarks issue it: the main history,
// newest first, or its search form over text, title, URL and list name.

#include <string>

#include "platform/store/FetchRequest.h"
#include "platform/store/Predicate.h"

namespace bench {

inline store::FetchRequest browserRequest(const std::string* search) {
    using store::Predicate;
    using store::Value;
    store::FetchRequest request("Clipping");
    if (search) {
        request.predicate = Predicate::withFormat(
                                "(text != NULL OR url != NULL OR image != NULL) AND (url contains[cd] %@ OR text "
                                "contains[cd] %@ OR urlSource contains[cd] %@ OR urlName contains[cd] %@ OR list.name "
                                "contains[cd] %@)",
                                Value(*search), Value(*search), Value(*search), Value(*search), Value(*search))
                                .value();
    } else {
        request.predicate = Predicate::withFormat("text != NULL OR url != NULL OR image != NULL").value();
    }
    request.sortDescriptors = {{"tavloDate", false}, {"pasteboardIndex", true}};
    return request;
}

}  // namespace bench
