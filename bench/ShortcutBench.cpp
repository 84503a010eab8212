// Shortcut labels for all 128 key codes beside Qt's own labels of the same
// keys, with the keymap read from the X server once (warm) or for every run
// (cold); and one probe of whether another X client holds a combination.
// Needs an X server: run under xvfb-run.

#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <QKeySequence>

#include <cstdlib>
#include <vector>

#include "hotkeys/HKShortcut.h"
#include "platform/desktop/KeyLabels.h"
#include "platform/desktop/KeyboardLayout.h"
#include "platform/desktop/X11SystemHotKeys.h"

namespace {

constexpr uint64_t kFlags = HKShortcut::kControlKeyMask | HKShortcut::kShiftKeyMask;

void labelAll(benchmark::State& state) {
    size_t bytes = 0;
    for (uint64_t code = 0; code < 128; ++code) bytes += HKShortcut(code, kFlags).description().size();
    benchmark::DoNotOptimize(bytes);
    state.counters["labels"] = 128;
}

void BM_LabelsWarm(benchmark::State& state) {
    desktop::KeyboardLayout::setCurrent(desktop::KeyboardLayout::fromServer());
    for (auto _ : state) labelAll(state);
}
BENCHMARK(BM_LabelsWarm)->Unit(benchmark::kMicrosecond);

void BM_LabelsCold(benchmark::State& state) {
    for (auto _ : state) {
        desktop::KeyboardLayout::setCurrent(desktop::KeyboardLayout::fromServer());
        labelAll(state);
    }
}
BENCHMARK(BM_LabelsCold)->Unit(benchmark::kMicrosecond);

// Qt's labels of the same 128 keys (those Qt has a key for; the rest as the letter A).
void BM_QtNativeText(benchmark::State& state) {
    desktop::KeyboardLayout::setCurrent(desktop::KeyboardLayout::fromServer());
    std::vector<QKeySequence> sequences;
    for (uint64_t code = 0; code < 128; ++code) {
        QKeySequence sequence = HKShortcut(code, kFlags).keySequence();
        sequences.push_back(sequence.isEmpty() ? QKeySequence(Qt::META | Qt::SHIFT | Qt::Key_A) : sequence);
    }
    for (auto _ : state) {
        qsizetype length = 0;
        for (const QKeySequence& sequence : sequences) length += sequence.toString(QKeySequence::NativeText).size();
        benchmark::DoNotOptimize(length);
    }
}
BENCHMARK(BM_QtNativeText)->Unit(benchmark::kMicrosecond);

void BM_SystemHotKeysProbe(benchmark::State& state) {
    auto layout = desktop::KeyboardLayout::fromServer();
    auto probe = desktop::X11SystemHotKeys::open(nullptr, layout);
    if (!probe) {
        state.SkipWithError("no X server");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(probe->isTaken(8, HKShortcut::kControlKey | HKShortcut::kShiftKey));
    }
}
BENCHMARK(BM_SystemHotKeysProbe)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("DISPLAY")) {
        std::fprintf(stderr, "shortcut_bench needs an X server (run it under xvfb-run)\n");
        return 1;
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    desktop::installKeyNameTranslator();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
