#pragma once
// The kit service (tests/support FakeKitService over HTTPS) in a forked child,
// so a benchmark's memory figures leave its copy of each body out. Fork before
// the benchmark starts threads, and make the test certificates first, so the
// child serves with the root the parent trusts.

#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "tests/support/FakeKitService.h"

namespace bench {

// The child answers requests until keepAlive is closed; baseURL is empty when
// it did not start. The child's pid, or -1.
inline pid_t startKitServiceChild(std::string& baseURL, int& keepAlive) {
    int url[2], alive[2];
    if (::pipe(url) != 0 || ::pipe(alive) != 0) return -1;
    pid_t child = ::fork();
    if (child == 0) {
        ::close(url[0]);
        ::close(alive[1]);
        testsupport::FakeKitService service;
        std::string text = service.start() ? service.baseURL() : "";
        text += '\n';
        if (::write(url[1], text.data(), text.size()) < 0) _exit(1);
        char byte;
        while (::read(alive[0], &byte, 1) > 0) {}
        service.stop();
        _exit(0);
    }
    ::close(url[1]);
    ::close(alive[0]);
    char c;
    while (::read(url[0], &c, 1) == 1 && c != '\n') baseURL += c;
    ::close(url[0]);
    keepAlive = alive[1];
    return child;
}

// Closes the child's pipe and waits for it to end.
inline void stopKitServiceChild(pid_t child, int keepAlive) {
    ::close(keepAlive);
    int status = 0;
    ::waitpid(child, &status, 0);
}

}  // namespace bench
