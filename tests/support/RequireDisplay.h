#pragma once
// X11 tests skip without an X server, except where the run requires one:
// scripts/test sets TAVLO_REQUIRE_DISPLAY, and there a missing display fails
// the test, so a broken X set-up cannot pass as a run of skipped tests.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

namespace testsupport {

inline bool displayRequired() {
    const char* value = std::getenv("TAVLO_REQUIRE_DISPLAY");
    return value && *value && std::string_view(value) != "0";
}

}  // namespace testsupport

// In a test or its SetUp: skips (or fails, where a display is required) with
// why when available is false.
#define TAVLO_SKIP_WITHOUT_DISPLAY(available, why)                                            \
    do {                                                                                     \
        if (!(available)) {                                                                  \
            if (::testsupport::displayRequired()) FAIL() << why << " (the run requires one)"; \
            GTEST_SKIP() << why;                                                             \
        }                                                                                    \
    } while (0)
