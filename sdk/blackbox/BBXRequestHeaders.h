#pragma once
// The headers every request of the crash kit carries: the kit's user agent,
// JSON answers in UTF-8, the locale, the developer token, the kit's identity
// and the application's API key.

#include <string>

#include "platform/net/URLRequest.h"

void BBXSetRequestHeaders(net::URLRequest& request, const std::string& apiKey);
