#include "sdk/blackbox/BBXRequestHeaders.h"

#include "sdk/beacon/BCNDeveloperToken.h"
#include "sdk/beacon/BCNLocaleIdentifier.h"
#include "sdk/blackbox/Blackbox.h"

void BBXSetRequestHeaders(net::URLRequest& request, const std::string& apiKey) {
    std::string locale = BCNLocaleIdentifier();
    request.setValue("User-Agent", std::string("Blackbox Mac SDK/") + Blackbox::kKitDisplayVersion);
    request.setValue("Accept", "application/json");
    request.setValue("Accept-Charset", "utf-8");
    request.setValue("Accept-Language", locale);
    request.setValue("Content-Language", locale);
    request.setValue("X-Blackbox-Developer-Token", BCNDeveloperToken);
    request.setValue("X-Blackbox-API-Client-Id", Blackbox::kBundleIdentifier);
    request.setValue("X-Blackbox-API-Client-Display-Version", Blackbox::kKitDisplayVersion);
    request.setValue("X-Blackbox-API-Client-Build-Version", Blackbox::kKitBuildVersion);
    request.setValue("X-Blackbox-API-Key", apiKey);
}
