// The fetched-results controller over the browser's request at the size of a
// long history: 100,000 clippings in the main context of the application's
// stack (a private root over the store, the main-queue context under it).
// Reads the store that store_bench generates ($TAVLO_BENCH_STORE, default
// /tmp/tavlo-store-bench; run store_bench once first) and never writes it.
//
// - Load: a new controller and its first fetch of the whole history.
// - InsertReported: a new clipping inserted in the main context until the
//   delegate hears of it (at the top of the history, or in its middle). Beside
//   it, the same report made the literal way (append, stable re-sort of the
//   whole array, look the object up), which is what placing only the new object
//   saves.
// - SearchChange: what one keystroke in the search field costs the panel: a
//   new controller with the search predicate and its fetch; beside it the same
//   fetch without a controller.

#include <benchmark/benchmark.h>

#include "BrowserRequest.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "kit/FRFetchedResultsController.h"
#include "platform/store/Comparison.h"

namespace {

namespace fs = std::filesystem;
using store::Context;
using store::Value;
using Clock = std::chrono::steady_clock;

fs::path storePath() {
    const char* env = std::getenv("TAVLO_BENCH_STORE");
    return (env ? fs::path(env) : fs::path("/tmp/tavlo-store-bench")) / "datastore";
}

struct Stack {
    std::shared_ptr<Context> root, main;
};

const Stack& stack() {
    static const Stack s = [] {
        if (!fs::exists(storePath())) {
            std::fprintf(stderr, "No store at %s: run store_bench once first, it generates it.\n", storePath().c_str());
            std::exit(1);
        }
        auto model = store::Model::loadResource(fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd");
        auto coordinator = std::make_shared<store::Coordinator>(model.value());
        if (!coordinator->addSQLiteStore(storePath())) std::exit(1);
        Stack made;
        made.root = std::make_shared<Context>(store::ConcurrencyType::PrivateQueue);
        made.root->performBlockAndWait([&] { made.root->setPersistentStoreCoordinator(coordinator); });
        made.main = std::make_shared<Context>(store::ConcurrencyType::MainQueue);
        made.main->setParentContext(made.root);
        return made;
    }();
    return s;
}

// The panel's request (main history, newest first), or its search form.
std::shared_ptr<store::FetchRequest> browserRequest(const std::string* search) {
    return std::make_shared<store::FetchRequest>(bench::browserRequest(search));
}

class TimingDelegate : public FRFetchedResultsControllerDelegate {
public:
    void controller(FRFetchedResultsController&, const std::shared_ptr<store::ManagedObject>&, uint64_t,
                    FRFetchedResultsChangeType type, uint64_t newIndex) override {
        if (type != FRFetchedResultsChangeType::Insert) return;
        reportedAt = Clock::now();
        index = newIndex;
    }
    bool implementsControllerDidChangeObject() const override { return true; }
    Clock::time_point reportedAt;
    uint64_t index = 0;
};

void BM_Load(benchmark::State& state) {
    size_t count = 0;
    for (auto _ : state) {
        auto controller = std::make_unique<FRFetchedResultsController>(stack().main, browserRequest(nullptr));
        controller->performFetch();
        count = controller->count();
        state.PauseTiming();  // dropping the result is not part of a load
        controller.reset();
        state.ResumeTiming();
    }
    state.counters["objects"] = double(count);
}
BENCHMARK(BM_Load)->Unit(benchmark::kMillisecond);

// The date of the clipping at that fraction of the fetched history.
double dateAt(const FRFetchedResultsController& controller, double fraction) {
    auto object = controller.objectAtIndex(uint64_t(double(controller.count() - 1) * fraction));
    return object->valueForKey("tavloDate").dateSeconds() + (fraction == 0 ? 1 : 0);
}

std::shared_ptr<store::ManagedObject> insertClipping(Context& context, double date) {
    auto c = context.insertNewObject("Clipping");
    c->setValueForKey("clippingID", Value("C-BENCH"));
    c->setValueForKey("tavloDate", Value::date(date));
    c->setValueForKey("pasteboardIndex", Value(0));
    c->setValueForKey("text", Value("a new clipping"));
    return c;
}

// Arg: 0 inserts at the top of the history, 1 in its middle.
void BM_InsertReported(benchmark::State& state) {
    auto& main = *stack().main;
    FRFetchedResultsController controller(stack().main, browserRequest(nullptr));
    TimingDelegate delegate;
    controller.setDelegate(&delegate);
    controller.performFetch();
    const double date = dateAt(controller, state.range(0) == 0 ? 0 : 0.5);
    for (auto _ : state) {
        auto start = Clock::now();
        auto c = insertClipping(main, date);
        main.processPendingChanges();
        state.SetIterationTime(std::chrono::duration<double>(delegate.reportedAt - start).count());
        main.deleteObject(c);  // never saved: the store stays as generated
        main.processPendingChanges();
    }
    state.counters["objects"] = double(controller.count());
    state.counters["index"] = double(delegate.index);
}
BENCHMARK(BM_InsertReported)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// The same report made literally: append, stable re-sort, look up.
void BM_InsertReported_LiteralResort(benchmark::State& state) {
    auto& main = *stack().main;
    FRFetchedResultsController controller(stack().main, browserRequest(nullptr));
    controller.performFetch();
    const double date = dateAt(controller, state.range(0) == 0 ? 0 : 0.5);
    FRFetchedResultsController::Objects objects = controller.fetchedObjects();
    const auto& sorts = controller.fetchRequest()->sortDescriptors;
    uint64_t index = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        auto c = insertClipping(main, date);
        objects.push_back(c);
        std::stable_sort(objects.begin(), objects.end(), [&sorts](const auto& a, const auto& b) {
            for (const auto& s : sorts) {
                int order = store::orderValues(a->valueForKey(s.key), b->valueForKey(s.key));
                if (order != 0) return s.ascending ? order < 0 : order > 0;
            }
            return false;
        });
        index = uint64_t(std::find(objects.begin(), objects.end(), c) - objects.begin());
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        objects.erase(objects.begin() + long(index));
        main.deleteObject(c);
        main.processPendingChanges();
    }
    state.counters["index"] = double(index);
}
BENCHMARK(BM_InsertReported_LiteralResort)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);

const char* const kQueries[] = {"e", "ab", "the", "caf", "eclair", "jalapeno", "lorem ipsum", "zzzq"};

void BM_SearchChange(benchmark::State& state) {
    const std::string query = kQueries[state.range(0)];
    size_t count = 0;
    for (auto _ : state) {
        auto controller = std::make_unique<FRFetchedResultsController>(stack().main, browserRequest(&query));
        controller->performFetch();
        count = controller->count();
        state.PauseTiming();
        controller.reset();
        state.ResumeTiming();
    }
    state.SetLabel(query);
    state.counters["results"] = double(count);
}
BENCHMARK(BM_SearchChange)->DenseRange(0, std::size(kQueries) - 1)->Unit(benchmark::kMillisecond);

// The same fetch in the same context without a controller: what the controller adds.
void BM_SearchChange_FetchOnly(benchmark::State& state) {
    const std::string query = kQueries[state.range(0)];
    size_t count = 0;
    for (auto _ : state) {
        auto objects = std::make_unique<Context::Objects>(stack().main->fetch(*browserRequest(&query)).value());
        count = objects->size();
        state.PauseTiming();
        objects.reset();
        state.ResumeTiming();
    }
    state.SetLabel(query);
    state.counters["results"] = double(count);
}
BENCHMARK(BM_SearchChange_FetchOnly)->DenseRange(0, std::size(kQueries) - 1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
