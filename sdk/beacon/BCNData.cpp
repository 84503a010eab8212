#include "sdk/beacon/BCNData.h"

void BCNEnumerateDataByteRanges(const foundation::Data& data, const BCNByteRangeBlock& block) {
    if (!block || data.empty()) return;
    bool stop = false;
    block(data.bytes(), BCNRange{0, data.length()}, &stop);
}
