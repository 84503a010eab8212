// The crash kit's recording before a crash and its symbolication after one:
// - a custom key write (a hop onto the logging queue, open, write, close)
//   beside a write(2) of the same line to a file kept open;
// - symbolication of a report of 20 threads x 64 frames (the program's own
//   functions, Qt's and the C library's) with a new resolver each run, beside
//   addr2line -f -C -e <image> on the same addresses, one run per image.
//   blackbox_user_logging_bench
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <QWidget>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>
#include <vector>

#include "BenchProcess.h"
#include "platform/dispatch/Queue.h"
#include "sdk/beacon/ElfImage.h"
#include "sdk/blackbox/BBXContext.h"
#include "sdk/blackbox/BBXFile.h"
#include "sdk/blackbox/BBXInternalReport.h"
#include "sdk/blackbox/BBXProcessReportOperation.h"
#include "sdk/blackbox/BBXSymbolResolver.h"
#include "sdk/blackbox/BBXUserLogging.h"

namespace {

constexpr int kKeyWrites = 2000;
constexpr int kThreads = 20;
constexpr int kFrames = 64;
constexpr int kSymbolicationRounds = 20;

template <class Body>
std::vector<double> timesMs(int rounds, Body body) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        auto start = std::chrono::steady_clock::now();
        body(i);
        times.push_back(bench::ms(std::chrono::steady_clock::now() - start));
    }
    return times;
}

double percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(share * static_cast<double>(values.size() - 1))];
}

struct Image {
    std::string path;
    uintptr_t header = 0;
    std::vector<uint64_t> offsets;  // from the header, as addr2line takes them for these images
};

// Addresses a crash would hold: one inside each of a spread of functions of
// the program, Qt Widgets and the C library.
std::vector<Image> sampleImages() {
    std::vector<Image> images;
    auto add = [&](const void* inside) {
        Dl_info info{};
        if (!dladdr(inside, &info) || !info.dli_fbase) return;
        Image image;
        image.header = reinterpret_cast<uintptr_t>(info.dli_fbase);
        auto loaded = beacon::loadedImageWithHeader(info.dli_fbase);
        if (!loaded) return;
        image.path = loaded->path;
        images.push_back(image);
    };
    add(reinterpret_cast<const void*>(&sampleImages));
    add(reinterpret_cast<const void*>(&QWidget::show));
    add(reinterpret_cast<const void*>(&::write));
    size_t perImage = kThreads * kFrames / images.size() + 1;
    for (auto& image : images) {
        auto symbols = beacon::elfFunctionSymbolsFromFile(image.path).value_or(std::vector<beacon::ElfFunctionSymbol>{});
        size_t step = std::max<size_t>(1, symbols.size() / perImage);
        for (size_t i = 0; i < symbols.size() && image.offsets.size() < perImage; i += step)
            if (symbols[i].size > 4) image.offsets.push_back(symbols[i].start + 3);
    }
    return images;
}

}  // namespace

int main() {
    volatile auto keepWidgets = &QWidget::show;
    (void)keepWidgets;

    bench::Home home = bench::makeHome("blackbox-user-logging-bench");
    std::string dir = (home.root / "launch").string();
    std::filesystem::create_directories(dir);
    BBXContextInitData data;
    data.apiKey = "bench-key";
    data.reportPath = dir.c_str();
    data.sessionID = "bench";
    data.maxCustomKeys = 64;
    data.logBufferSize = 65536;
    BBXContextInitialize(&data);
    while (!BBXContextIsInitialized()) std::this_thread::yield();

    // Key writes; then the line one makes, written by hand to a file kept open.
    std::vector<double> keys = timesMs(kKeyWrites, [](int i) {
        BBXUserLoggingRecordUserKeyValue("key-" + std::to_string(i % 100), foundation::PlistValue("value"));
    });
    std::string line = "{\"kv\":{\"key\":\"" + BBXHexEncodeCString("key-42") + "\",\"value\":\"" +
                       BBXHexEncodeCString("value") + "\"}}\n";
    int fd = ::open((home.root / "plain.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<double> plain =
        timesMs(kKeyWrites, [&](int) { (void)!::write(fd, line.data(), line.size()); });
    ::close(fd);

    // A report of this launch: its own image list, 20 threads of 64 frames.
    BBXContextBinaryImagesQueue()->sync([] {});
    std::vector<Image> images = sampleImages();
    std::vector<uint64_t> addresses;
    for (const auto& image : images)
        for (uint64_t offset : image.offsets) addresses.push_back(image.header + offset);
    addresses.resize(std::min<size_t>(addresses.size(), kThreads * kFrames));
    {
        BBXFile file;
        BBXFileInit(&file, (dir + "/signal.bbxrecord").c_str(), false);
        BBXFileOpenSection(&file, "threads");
        BBXFileBeginArray(&file);
        for (int t = 0; t < kThreads; ++t) {
            BBXFileBeginObject(&file);
            BBXFileWriteKey(&file, "stacktrace");
            BBXFileBeginArray(&file);
            // Threads take the frames in turn, so each holds all three images.
            for (int f = 0; f < kFrames; ++f) {
                size_t index = static_cast<size_t>(f * kThreads + t);
                if (index < addresses.size()) BBXFileWriteUnsignedElement(&file, addresses[index]);
            }
            BBXFileEndArray(&file);
            BBXFileEndObject(&file);
        }
        BBXFileEndArray(&file);
        BBXFileCloseSection(&file);
        BBXFileClose(&file);
    }
    auto report = BBXInternalReport::reportWithPathExecutionIdentifier(dir, std::string("bench"));
    std::vector<double> symbolication = timesMs(kSymbolicationRounds, [&](int) {
        BBXProcessReportOperation(report, std::make_shared<BBXSymbolResolver>()).start();
    });
    size_t named = 0;
    if (auto written = BBXFileReadSections((dir + "/signal.bbxrecord.symbolicated").c_str(), false))
        for (const auto& thread : *written->front().get("threads")->asArray())
            for (const auto& frame : *thread.asArray()) named += frame.get("symbol")->asString() ? 1 : 0;

    std::vector<std::string> commands;
    for (size_t i = 0; i < images.size(); ++i) {
        std::string list = (home.root / ("addresses-" + std::to_string(i))).string();
        std::ofstream out(list);
        for (uint64_t offset : images[i].offsets) out << std::hex << "0x" << offset << "\n";
        commands.push_back("addr2line -f -C -e '" + images[i].path + "' < '" + list + "' > /dev/null");
    }
    std::vector<double> addr2line = timesMs(kSymbolicationRounds, [&](int) {
        for (const auto& command : commands) bench::runShell(command);
    });
    std::filesystem::remove_all(home.root);

    std::printf("custom key write, median: %.1f us, p99: %.1f us (target median <= 100 us)\n",
                bench::median(keys) * 1000, percentile(keys, 0.99) * 1000);
    std::printf("write(2) of the same line, median: %.2f us\n", bench::median(plain) * 1000);
    std::printf("frames: %zu in %zu images, named: %zu\n", addresses.size(), images.size(), named);
    std::printf("symbolication, median: %.1f ms (target <= 100 ms and no slower than addr2line)\n",
                bench::median(symbolication));
    std::printf("addr2line -f -C, median: %.1f ms\n", bench::median(addr2line));
    return 0;
}
