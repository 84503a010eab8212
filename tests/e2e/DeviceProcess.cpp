#include "DeviceProcess.h"

#include <csignal>
#include <fstream>
#include <sstream>

#include "platform/foundation/JSON.h"

namespace e2e {

namespace fs = std::filesystem;
using foundation::PlistValue;

namespace {

bool isFinal(const std::string& line) { return line == "ok" || line == "idle" || line.rfind("error", 0) == 0; }

}  // namespace

DeviceProcess::DeviceProcess(std::string name, fs::path home) : name_(std::move(name)), home_(std::move(home)) {
    for (const char* folder : {"data", "config", "cache"}) fs::create_directories(home_ / folder);
}

DeviceProcess::~DeviceProcess() {
    if (running()) quit();
}

fs::path DeviceProcess::assetFolder(const std::string& clippingID) const {
    return dataHome() / "Tavlo" / "assets" / clippingID;
}

std::map<std::string, std::string> DeviceProcess::environment() const {
    return {{"HOME", home_.string()},
            {"XDG_DATA_HOME", dataHome().string()},
            {"XDG_CONFIG_HOME", configHome().string()},
            {"XDG_CACHE_HOME", (home_ / "cache").string()}};
}

std::string DeviceProcess::deviceID() const {
    std::ifstream in(dataHome() / "Tavlo" / "CloudDevice");
    std::string id;
    std::getline(in, id);
    return id;
}

::testing::AssertionResult DeviceProcess::start(const std::vector<std::string>& options) {
    std::vector<std::string> argv{TAVLO_SYNC_DEVICE};
    argv.insert(argv.end(), options.begin(), options.end());
    process_ = testsupport::ChildProcess::start(argv, environment(), testsupport::ChildProcess::Input::Pipe);
    if (!process_) return ::testing::AssertionFailure() << name_ << ": sync_device did not start";
    transcript_.push_back("(started)");
    return ::testing::AssertionSuccess();
}

bool DeviceProcess::running() const { return process_ && process_->running(); }

std::vector<std::string> DeviceProcess::run(const std::string& command, std::chrono::seconds timeout) {
    std::vector<std::string> lines;
    transcript_.push_back("> " + command);
    if (!process_ || !process_->writeInput(command + "\n")) {
        lines.push_back("no answer");
        transcript_.push_back("(not running)");
        return lines;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        auto line = left.count() > 0 ? process_->readLine(left) : std::nullopt;
        if (!line) {
            lines.push_back("no answer");
            break;
        }
        lines.push_back(*line);
        if (isFinal(*line)) break;
    }
    // A dump is long; the transcript keeps its size.
    if (lines.size() > 4) transcript_.push_back("(" + std::to_string(lines.size() - 1) + " lines)");
    else
        for (size_t i = 0; i + 1 < lines.size(); ++i) transcript_.push_back(lines[i]);
    transcript_.push_back(lines.back());
    return lines;
}

::testing::AssertionResult DeviceProcess::ok(const std::string& command, std::chrono::seconds timeout) {
    auto lines = run(command, timeout);
    const std::string expected = command == "idle" ? "idle" : "ok";
    if (lines.back() == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << name_ << ": \"" << command << "\" answered \"" << lines.back() << "\"\n"
                                         << transcript();
}

::testing::AssertionResult DeviceProcess::idle(std::chrono::seconds timeout) { return ok("idle", timeout); }

std::optional<std::vector<PlistValue>> DeviceProcess::dump() {
    auto lines = run("dump");
    if (lines.back() != "ok") return std::nullopt;
    std::vector<PlistValue> out;
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        auto value = foundation::JSON::read(lines[i]);
        if (!value) return std::nullopt;
        out.push_back(value.value());
    }
    return out;
}

std::string DeviceProcess::clippingWithText(const std::string& text) {
    auto entries = dump();
    if (!entries) return {};
    for (const auto& entry : *entries) {
        const auto* d = entry.asDictionary();
        if (!d || !d->count("fields") || !d->at("fields").asDictionary()) continue;
        const auto* type = d->at("type").asString();
        const auto& fields = *d->at("fields").asDictionary();
        if (type && *type == "Clipping" && fields.count("text") && fields.at("text").asString() &&
            *fields.at("text").asString() == text)
            return *d->at("id").asString();
    }
    return {};
}

std::optional<std::string> DeviceProcess::pasteboard() {
    // Answered on one line of its own, "pasteboard " and the text escaped.
    transcript_.push_back("> pasteboard");
    if (!process_ || !process_->writeInput("pasteboard\n")) return std::nullopt;
    auto line = process_->readLine(std::chrono::seconds(30));
    transcript_.push_back(line.value_or("no answer"));
    const std::string prefix = "pasteboard ";
    if (!line || line->rfind(prefix, 0) != 0) return std::nullopt;
    std::string text;
    for (size_t i = prefix.size(); i < line->size(); ++i) {
        if ((*line)[i] == '\\' && i + 1 < line->size()) {
            text += (*line)[++i] == 'n' ? '\n' : (*line)[i];
        } else {
            text += (*line)[i];
        }
    }
    return text;
}

std::optional<PlistValue> DeviceProcess::query(const std::string& command) {
    auto lines = run(command);
    if (lines.size() != 2 || lines.back() != "ok") return std::nullopt;
    // A single value is read inside an array, as the reader takes documents only.
    auto value = foundation::JSON::read("[" + lines[0] + "]");
    if (!value || !value.value().asArray() || value.value().asArray()->size() != 1) return std::nullopt;
    return value.value().asArray()->at(0);
}

void DeviceProcess::kill() {
    if (!process_) return;
    process_->signal(SIGKILL);
    process_->wait(std::chrono::seconds(10));
    transcript_.push_back("(killed)");
}

bool DeviceProcess::quit() {
    if (!process_) return false;
    process_->writeInput("quit\n");
    process_->closeInput();
    auto status = process_->wait(std::chrono::seconds(30));
    transcript_.push_back("(quit: " + (status ? std::to_string(*status) : std::string("still running")) + ")");
    if (!status) process_->signal(SIGKILL);
    return status == 0;
}

std::string DeviceProcess::transcript(size_t lastLines) const {
    std::ostringstream out;
    out << "device " << name_ << " (" << home_.string() << "):\n";
    const size_t first = transcript_.size() > lastLines ? transcript_.size() - lastLines : 0;
    for (size_t i = first; i < transcript_.size(); ++i) out << "  " << transcript_[i] << "\n";
    return out.str();
}

}  // namespace e2e
