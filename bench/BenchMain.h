#pragma once
// The end of a benchmark program's main that works in a temporary folder of
// its own: runs the benchmarks the command line names, then removes the folder.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <system_error>

namespace bench {

inline int runBenchmarksThenRemove(int argc, char** argv, const std::filesystem::path& folder) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return 0;
}

}  // namespace bench
