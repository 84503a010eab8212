#include "sdk/blackbox/BBXHost.h"

#include <atomic>

#include "sdk/beacon/BCNHost.h"
#include "sdk/beacon/BCNLocaleIdentifier.h"
#include "sdk/blackbox/BBXFile.h"
#include "sdk/blackbox/BBXSDKLog.h"

namespace {

std::atomic<size_t> gPageSize{0};

constexpr const char* kFailed = "(failed)";

}  // namespace

size_t BBXHostGetPageSize() {
    size_t known = gPageSize.load(std::memory_order_relaxed);
    if (known) return known;
    auto value = beacon::HostFacts::system().integerValue("hw.pagesize");
    size_t size = 4096;
    if (value && *value > 0) size = static_cast<size_t>(*value);
    else BBXSDKLog("%s: sysctlbyname failed while trying to get hw.pagesize\n", __func__);
    gPageSize.store(size, std::memory_order_relaxed);
    return size;
}

void BBXHostInitialize() { (void)BBXHostGetPageSize(); }

bool BBXHostRecord(BBXFile* file, const beacon::HostFacts& host) {
    if (!BBXFileIsOpen(file)) return false;
    BBXFileOpenSection(file, "host");
    BBXFileBeginObject(file);
    BBXFileWriteNSStringEntry(file, "model", BCNHostGetModel(host).value_or(kFailed));
    BBXFileWriteNSStringEntry(file, "machine", BCNHostGetSysctlString("hw.machine", host).value_or(kFailed));
    BBXFileWriteNSStringEntry(file, "cpu", BCNHostGetSysctlString("machdep.cpu.brand_string", host).value_or(kFailed));
    BBXFileWriteNSStringEntry(file, "os_build_version", BCNHostGetOSBuildVersion(host));
    BBXFileWriteNSStringEntry(file, "os_display_version", BCNHostGetOSDisplayVersion(host));
    BBXFileWriteStringEntry(file, "platform", "mac");
    BBXFileWriteNSStringEntry(file, "locale", BCNLocaleIdentifier());
    BBXFileEndObject(file);
    BBXFileCloseSection(file);
    return true;
}
