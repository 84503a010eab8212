// libFuzzer entry: fuzz_macho -max_total_time=60
#include "tests/sdk/beacon/MachOFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    beacontest::exerciseReaders(data, size);
    return 0;
}
