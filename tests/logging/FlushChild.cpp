// A process that logs one line and exits, recording each flush it receives.
#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <string>

#include "logging/LKAbstractLogger.h"
#include "logging/LKLog.h"

namespace {
class FileLogger : public LKAbstractLogger {
public:
    explicit FileLogger(FILE* f) : f_(f) {}
    void logMessage(const std::shared_ptr<const LKLogMessage>& m) override {
        std::fprintf(f_, "%s\n", m->message().c_str());
        std::fflush(f_);
    }
    void flush() override {
        std::fputs("flush\n", f_);
        std::fflush(f_);
    }
    bool implementsFlush() const override { return true; }

private:
    FILE* f_;
};
}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    FILE* f = std::fopen(argv[2], "w");
    if (!f) return 3;
    std::string mode = argv[1];
    if (mode == "qt") {
        QCoreApplication app(argc, argv);
        LKLog::addLogger(std::make_shared<FileLogger>(f));
        LKLog::log(true, 31, 4, 0, __FILE__, "main", 1, nullptr, "logged");
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
        return app.exec();
    }
    LKLog::addLogger(std::make_shared<FileLogger>(f));
    LKLog::log(true, 31, 4, 0, __FILE__, "main", 1, nullptr, "logged");
    return 0;
}
