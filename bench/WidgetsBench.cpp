// The browser's building blocks at sizes they meet: a 1,000-row menu realised
// and popped up beside a plain QMenu filled with the same 1,000 actions; title
// case of 1 MB of text beside QString::toUpper of it; measuring a
// 500-character text on a worker thread beside QFontMetricsF::boundingRect on
// the main thread. Runs on Qt's offscreen platform.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QFontMetricsF>
#include <QMenu>
#include <QPoint>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/desktop/Menu.h"
#include "views/NSStringGeometrics.h"
#include "views/NSStringVCTitleCase.h"

namespace {

constexpr int kMenuRows = 1000;

std::string rowTitle(int i) {
    return "Clipping number " + std::to_string(i) + " with a title of ordinary length";
}

void BM_MenuPopUp1000(benchmark::State& state) {
    auto menu = std::make_shared<desktop::Menu>("History");
    for (int i = 0; i < kMenuRows; ++i) menu->addItem(std::make_shared<desktop::MenuItem>(rowTitle(i)));
    for (auto _ : state) {
        menu->popUp(QPoint(10, 10));
        QApplication::processEvents();
        state.PauseTiming();
        menu->qMenu()->hide();
        QApplication::processEvents();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_MenuPopUp1000)->Unit(benchmark::kMillisecond);

void BM_QMenuPopUp1000(benchmark::State& state) {
    for (auto _ : state) {
        QMenu menu;
        for (int i = 0; i < kMenuRows; ++i) menu.addAction(QString::fromStdString(rowTitle(i)));
        menu.popup(QPoint(10, 10));
        QApplication::processEvents();
        state.PauseTiming();
        menu.hide();
        QApplication::processEvents();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_QMenuPopUp1000)->Unit(benchmark::kMillisecond);

const QString& megabyte() {
    static const QString text = [] {
        QString t;
        while (t.size() < (1 << 20)) t += QStringLiteral("the history of the U.S.A. and at&t, as told by an iPhone in 2026. ");
        return t;
    }();
    return text;
}

void BM_TitleCase1MB(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(NSStringVCTitleCase::titlecaseString(megabyte()));
}
BENCHMARK(BM_TitleCase1MB)->Unit(benchmark::kMillisecond);

void BM_ToUpper1MB(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(megabyte().toUpper());
}
BENCHMARK(BM_ToUpper1MB)->Unit(benchmark::kMillisecond);

QString text500() {
    QString t;
    while (t.size() < 500) t += QStringLiteral("Lorem ipsum dolor sit amet, consectetur adipiscing elit. ");
    return t.left(500);
}

// One worker thread, as the panel's measuring queue: each iteration hands it
// one measurement and waits for the answer; the figure is the worker's own time.
void BM_MeasureOnWorker(benchmark::State& state) {
    QFont font;
    font.setPixelSize(14);
    const QString text = text500();
    std::mutex mutex;
    std::condition_variable changed;
    std::function<void()> job;
    bool stop = false;
    std::thread worker([&] {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return job || stop; });
            if (stop) return;
            job();
            job = nullptr;
            changed.notify_all();
        }
    });
    for (auto _ : state) {
        double seconds = 0;
        std::unique_lock lock(mutex);
        job = [&] {
            auto start = std::chrono::steady_clock::now();
            benchmark::DoNotOptimize(NSStringGeometrics::heightForWidth(text, 300, &font));
            seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        };
        changed.notify_all();
        changed.wait(lock, [&] { return !job; });
        state.SetIterationTime(seconds);
    }
    {
        std::lock_guard lock(mutex);
        stop = true;
    }
    changed.notify_all();
    worker.join();
}
BENCHMARK(BM_MeasureOnWorker)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_BoundingRectOnMain(benchmark::State& state) {
    QFont font;
    font.setPixelSize(14);
    const QString text = text500();
    QFontMetricsF metrics(font);
    for (auto _ : state)
        benchmark::DoNotOptimize(metrics.boundingRect(QRectF(0, 0, 300, 1e6), Qt::TextWordWrap, text));
}
BENCHMARK(BM_BoundingRectOnMain)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    ::benchmark::Initialize(&argc, argv);
    ::benchmark::RunSpecifiedBenchmarks();
    ::benchmark::Shutdown();
    return 0;
}
