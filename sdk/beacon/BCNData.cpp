#include "sdk/beacon/BCNData.h"

void BCNEnumerateDataByteRanges(std::span<const uint8_t> data, const BCNByteRangeBlock& block) {
    if (!block || data.empty()) return;
    bool stop = false;
    block(data.data(), BCNRange{0, data.size()}, &stop);
}
