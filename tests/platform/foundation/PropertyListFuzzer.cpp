// libFuzzer entry for the property-list readers (binary and XML). Built only
// with clang; run by hand for as long as wanted:
//   build-clang/tests/platform/foundation/property_list_fuzzer -max_total_time=600
#include <cstddef>
#include <cstdint>

#include "platform/foundation/PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto value = foundation::PropertyList::read(std::span<const uint8_t>(data, size));
    if (value.ok()) (void)foundation::PropertyList::writeXML(value.value());
    return 0;
}
