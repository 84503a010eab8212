// libFuzzer entry: fuzz_unwind -max_total_time=60 corpus
#include "tests/sdk/blackbox/UnwindFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    blackboxtest::exerciseUnwindTables(data, size);
    return 0;
}
