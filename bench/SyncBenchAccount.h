#pragma once
// What the sync benchmarks share: an account another device has filled with
// clippings, some with a PNG asset of 100 KB; the floor they are measured
// beside, the same rows and bytes inserted through plain libpq in one
// transaction; and a device in a process of its own.

#include <benchmark/benchmark.h>

#include <libpq-fe.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "kit/TLCloudKitSyncManager.h"
#include "platform/cloud/Configuration.h"
#include "platform/cloud/Container.h"
#include "platform/cloud/ZoneServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PostgresServer.h"

namespace syncbench {

inline constexpr size_t kAssetBytes = 100 * 1024;
inline const cloud::RecordZoneID kZone{TLCloudKitSyncManager::kTavloRecordZoneName};

inline std::string clippingName(int n) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "C-00000000-0000-4000-8000-%012d", n);
    return buffer;
}

// 100 KB that no other asset shares (the store shares equal chunks).
inline std::string pngBytes(int n) {
    std::mt19937_64 random(static_cast<uint64_t>(n) + 1);
    std::string bytes(kAssetBytes, '\0');
    for (size_t i = 0; i < bytes.size(); i += 8) {
        const uint64_t word = random();
        std::memcpy(bytes.data() + i, &word, std::min<size_t>(8, bytes.size() - i));
    }
    std::memcpy(bytes.data(), "\x89PNG\r\n\x1a\n", 8);
    return bytes;
}

inline testsupport::PostgresServer* postgres() {
    auto* server = testsupport::PostgresServer::shared();
    if (!server) std::fprintf(stderr, "%s\n", testsupport::PostgresServer::skipReason().c_str());
    return server;
}

// Another device makes the zone and saves clippings Clipping records, every
// (clippings / assets)th with a PNG asset record; scratch holds the asset
// files while they are sent.
inline void fillZone(const cloud::Configuration& configuration, int clippings, int assets,
                     const std::filesystem::path& scratch) {
    auto writer = cloud::Container::make("com.tavlo.Tavlo", configuration, "writer")->server().value();
    if (!writer->modifyZones({kZone}, {})) std::abort();
    std::vector<cloud::Record> batch;
    auto flush = [&] {
        if (!batch.empty() && !writer->modifyRecords(batch, {})) std::abort();
        batch.clear();
    };
    for (int i = 0; i < clippings; ++i) {
        cloud::Record record("Clipping", {clippingName(i), kZone});
        record.setObject("text", "Clipping number " + std::to_string(i) + " " + std::string(80, 't'));
        record.setObject("tavloDate", foundation::Date(1e9 + i));
        record.setObject("addDate", foundation::Date(1e9 + i));
        record.setObject("items", int64_t{1});
        record.setObject("deviceName", std::string("OSX"));
        batch.push_back(std::move(record));
        if (batch.size() == 400) flush();
    }
    flush();
    std::filesystem::create_directories(scratch);
    for (int i = 0; i < assets; ++i) {
        const std::string clipping = clippingName(i * (clippings / assets));
        const std::filesystem::path file = scratch / std::to_string(i);
        std::ofstream(file, std::ios::binary) << pngBytes(i);
        cloud::Record record("Asset", {clipping + ".0.public.png", kZone});
        record.setObject("clippingID", clipping);
        record.setObject("filename", std::string("0.public.png"));
        record.setObject("clipping", cloud::Reference{cloud::RecordID{clipping, kZone}, cloud::Reference::DeleteSelf});
        record.setObject("data", cloud::Asset{file});
        batch.push_back(std::move(record));
        if (batch.size() == 100) flush();
    }
    flush();
    std::filesystem::remove_all(scratch);
}

// The floor: clippings rows of the records' fields and assets rows of 100 KB
// each, in one transaction through libpq, into a database of its own.
inline void plainLibpqInsert(benchmark::State& state, int clippings, int assetCount) {
    const std::string database = "sync_bench_plain_" + std::to_string(clippings) + "_" + std::to_string(assetCount);
    if (!postgres() || !postgres()->createDatabase(database)) {
        state.SkipWithError("no PostgreSQL server");
        return;
    }
    PGconn* conn = PQconnectdb(postgres()->connection(database).c_str());
    PQclear(PQexec(conn, "CREATE TABLE records(name TEXT PRIMARY KEY, type TEXT, fields BYTEA, data BYTEA)"));
    PQclear(PQprepare(conn, "row", "INSERT INTO records(name, type, fields, data) VALUES ($1, $2, $3, $4)", 4,
                      nullptr));
    std::vector<std::string> assets;
    for (int i = 0; i < assetCount; ++i) assets.push_back(pngBytes(i));
    const std::string fields = "Clipping number 0000 " + std::string(80, 't') + std::string(60, 'f');
    int run = 0;
    for (auto _ : state) {
        ++run;
        PQclear(PQexec(conn, "BEGIN"));
        auto insert = [&](const std::string& name, const char* type, const std::string& data) {
            const char* values[4] = {name.c_str(), type, fields.data(), data.empty() ? nullptr : data.data()};
            const int lengths[4] = {0, 0, static_cast<int>(fields.size()), static_cast<int>(data.size())};
            const int formats[4] = {0, 0, 1, 1};
            PGresult* result = PQexecPrepared(conn, "row", 4, values, lengths, formats, 0);
            if (PQresultStatus(result) != PGRES_COMMAND_OK) state.SkipWithError(PQresultErrorMessage(result));
            PQclear(result);
        };
        for (int i = 0; i < clippings; ++i)
            insert(std::to_string(run) + "-" + clippingName(i), "Clipping", std::string());
        for (int i = 0; i < assetCount; ++i)
            insert(std::to_string(run) + "-asset-" + std::to_string(i), "Asset", assets[i]);
        PQclear(PQexec(conn, "COMMIT"));
    }
    PQfinish(conn);
    state.SetItemsProcessed(state.iterations() * (clippings + assetCount));
}

// Copy-to-clipboard times in milliseconds as the counters median_ms, p95_ms and max_ms.
inline void reportLatencies(benchmark::State& state, std::vector<double> latencies) {
    if (latencies.empty()) return;
    std::sort(latencies.begin(), latencies.end());
    state.counters["median_ms"] = latencies[latencies.size() / 2];
    state.counters["p95_ms"] = latencies[std::min(latencies.size() - 1, latencies.size() * 95 / 100)];
    state.counters["max_ms"] = latencies.back();
}

// Another device: a sync_device process in the home root of its own on the
// account, driven through a named pipe.
class OtherDevice {
public:
    OtherDevice(const cloud::Configuration& configuration, const std::filesystem::path& root) {
        for (const char* folder : {"data", "config", "cache"}) std::filesystem::create_directories(root / folder);
        env_ = {{"HOME", root.string()},
                {"XDG_DATA_HOME", (root / "data").string()},
                {"XDG_CONFIG_HOME", (root / "config").string()},
                {"XDG_CACHE_HOME", (root / "cache").string()},
                {"DBUS_SESSION_BUS_ADDRESS", ""}};
        std::vector<std::string> use = {TAVLO_CLOUD_TOOL, "use"};
        if (configuration.backend == cloud::Configuration::kPostgreSQLBackend) {
            use.insert(use.end(), {"postgresql", configuration.connection});
        } else {
            use.insert(use.end(), {"embedded", configuration.folder.string()});
        }
        use.insert(use.end(), {"--account", configuration.account});
        if (testsupport::runCommand(use, std::chrono::seconds(20), env_).status != 0) std::abort();
        const std::filesystem::path pipe = root / "commands";
        ::mkfifo(pipe.c_str(), 0600);
        process_ = testsupport::ChildProcess::start(
            {"/bin/sh", "-c", std::string("exec '") + TAVLO_SYNC_DEVICE + "' < '" + pipe.string() + "'"}, env_);
        if (!process_) std::abort();
        commands_ = ::open(pipe.c_str(), O_WRONLY);
    }
    ~OtherDevice() {
        send("quit");
        ::close(commands_);
        process_->wait(std::chrono::seconds(10));
    }
    // Sends a command; answers its reply line.
    std::string send(const std::string& line, std::chrono::seconds timeout = std::chrono::seconds(30)) {
        const std::string text = line + "\n";
        if (::write(commands_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return "error write";
        return next(timeout);
    }
    // The next line of its answer (a command such as dump answers several).
    std::string next(std::chrono::seconds timeout) { return process_->readLine(timeout).value_or("error no answer"); }

private:
    std::map<std::string, std::string> env_;
    std::unique_ptr<testsupport::ChildProcess> process_;
    int commands_ = -1;
};

}  // namespace syncbench
