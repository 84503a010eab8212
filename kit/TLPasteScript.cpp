#include "TLPasteScript.h"

#include <QProcess>
#include <QPointer>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "logging/TLLog.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Paths.h"

namespace fs = std::filesystem;

namespace {

// What a script wrote to its error output that the log keeps.
constexpr qint64 kKeptErrorOutput = 1024;

foundation::Error fileError(int64_t code, std::string description, const fs::path& path) {
    foundation::Error error(TLPasteScript::kErrorDomain, code, std::move(description));
    error.userInfo["NSFilePath"] = path.string();
    return error;
}

// Closes a descriptor when it goes.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

fs::path TLPasteScript::scriptPath() { return foundation::Paths::applicationScripts() / kScriptName; }

std::optional<fs::path> TLPasteScript::installedScript() {
    const fs::path path = scriptPath();
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;  // none installed
    // Group write stays allowed: a user-private group (umask 002) gives it to
    // every file the user makes.
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || !(st.st_mode & S_IXUSR) || (st.st_mode & S_IWOTH)) {
        TLLogError(TLLogContextGeneral,
                   "The paste script %@ is not a regular executable file of this user that others cannot change; "
                   "it is not run",
                   path.string());
        return std::nullopt;
    }
    return path;
}

std::optional<fs::path> TLPasteScript::bundledScript() {
    auto bundle = foundation::Bundle::main();
    if (!bundle) return std::nullopt;
    return bundle->pathForResource(kScriptName, "");
}

foundation::Result<void> TLPasteScript::installPasteScript(const fs::path& folder, std::optional<fs::path> source) {
    std::error_code ec;
    const fs::path scripts = fs::canonical(foundation::Paths::applicationScripts(), ec);
    const fs::path asked = ec ? fs::path() : fs::canonical(folder, ec);
    if (ec || scripts.empty() || asked != scripts)
        return fileError(kWriteNoPermissionError, "The paste script goes into the scripts folder only.", folder);
    const fs::path target = scripts / kScriptName;
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0)
        return fileError(kFileExistsError, "A file named \"Paste.scpt\" is already in the scripts folder.", target);
    if (!source) source = bundledScript();
    if (!source) return fileError(kWriteUnknownError, "The application carries no paste script.", target);

    Descriptor in{::open(source->c_str(), O_RDONLY | O_CLOEXEC)};
    if (in.fd < 0) return fileError(kWriteUnknownError, std::strerror(errno), *source);
    // Written under a name of its own, then linked to the script's name: the
    // link never replaces what appeared meanwhile, and a failure leaves nothing.
    const fs::path temporary = scripts / (".Paste.scpt." + std::to_string(::getpid()) + ".part");
    Descriptor out{::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700)};
    if (out.fd < 0) return fileError(kWriteUnknownError, std::strerror(errno), temporary);
    auto failed = [&](int code) {
        ::unlink(temporary.c_str());
        return fileError(kWriteUnknownError, std::strerror(code), target);
    };
    char buffer[64 * 1024];
    for (;;) {
        ssize_t n = ::read(in.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return failed(errno);
        if (n == 0) break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(out.fd, buffer + done, size_t(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) return failed(errno);
            done += w;
        }
    }
    if (::fchmod(out.fd, 0700) != 0 || ::fsync(out.fd) != 0) return failed(errno);
    if (::link(temporary.c_str(), target.c_str()) != 0) {
        int code = errno;
        ::unlink(temporary.c_str());
        if (code == EEXIST)
            return fileError(kFileExistsError, "A file named \"Paste.scpt\" is already in the scripts folder.", target);
        return fileError(kWriteUnknownError, std::strerror(code), target);
    }
    ::unlink(temporary.c_str());
    TLLogInfo(TLLogContextGeneral, "Installed the paste script at %@", target.string());
    return {};
}

void TLPasteScript::run(const fs::path& path, std::function<void(std::optional<foundation::Error>)> completion) {
    // The process belongs to no window: it ends and reports even when the
    // panel that started it has gone.
    auto* process = new QProcess();
    process->setProgram(QString::fromStdString(path.string()));
    process->setArguments({});
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    struct State {
        std::function<void(std::optional<foundation::Error>)> completion;
        bool timedOut = false;
        void finish(QProcess* process, std::optional<foundation::Error> error) {
            if (!completion) return;
            auto done = std::move(completion);
            completion = nullptr;
            process->deleteLater();
            done(std::move(error));
        }
    };
    auto state = std::make_shared<State>();
    state->completion = std::move(completion);
    const std::string name = path.string();
    QObject::connect(process, &QProcess::finished, process, [process, state](int status, QProcess::ExitStatus how) {
        if (how == QProcess::NormalExit && status == 0 && !state->timedOut) return state->finish(process, std::nullopt);
        std::string detail = process->readAllStandardError().left(kKeptErrorOutput).trimmed().toStdString();
        std::string description = state->timedOut ? "The paste script was stopped after running 10 seconds."
                                  : how == QProcess::CrashExit
                                      ? "The paste script ended abnormally."
                                      : "The paste script exited with status " + std::to_string(status) + ".";
        if (!detail.empty()) description += " " + detail;
        state->finish(process, foundation::Error(TLPasteScript::kErrorDomain, state->timedOut ? 3072 : 4, description));
    });
    QObject::connect(process, &QProcess::errorOccurred, process, [process, state, name](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart) return;  // the others end in finished
        state->finish(process, foundation::Error(TLPasteScript::kErrorDomain, 4,
                                                 "The paste script " + name + " could not be started: " +
                                                     process->errorString().toStdString()));
    });
    QPointer<QProcess> watched(process);
    dispatch::after(kTimeoutSeconds, dispatch::Queue::main(), [watched, state, name] {
        if (!watched || !state->completion || watched->state() == QProcess::NotRunning) return;
        TLLogError(TLLogContextGeneral, "The paste script %@ still ran after %@ seconds; stopped", name,
                   int64_t(kTimeoutSeconds));
        state->timedOut = true;
        watched->kill();
    });
    process->start(QIODevice::ReadOnly);
}
