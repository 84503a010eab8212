#include "PostgresListener.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "PostgresSession.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/SystemLog.h"

namespace cloud {

namespace {

std::mutex registryMutex;
std::map<std::string, std::weak_ptr<PostgresListener>>& registry() {
    static auto* listeners = new std::map<std::string, std::weak_ptr<PostgresListener>>();
    return *listeners;
}

// How long a burst may pause between two of its reads.
constexpr int kBurstMilliseconds = 5;

}  // namespace

std::shared_ptr<PostgresListener> PostgresListener::forConnection(const std::string& connection) {
    std::lock_guard lock(registryMutex);
    auto& slot = registry()[connection];
    if (auto existing = slot.lock()) return existing;
    std::shared_ptr<PostgresListener> listener(new PostgresListener(connection));
    slot = listener;
    return listener;
}

struct PostgresListener::State {
    std::string connection;
    int stopFd = -1;
    std::atomic<bool> listening{false};
    std::atomic<int> connections{0};
    std::mutex mutex;
    std::map<uint64_t, Wake> wakes;
    uint64_t next = 1;

    ~State() {
        if (stopFd >= 0) ::close(stopFd);
    }
    void wakeAll() {
        std::vector<Wake> all;
        {
            std::lock_guard lock(mutex);
            for (const auto& [token, wake] : wakes) all.push_back(wake);
        }
        for (const Wake& wake : all) wake();
    }
    // Waits up to seconds for the stop signal; true when stopping.
    bool pause(double seconds) const {
        pollfd stop{stopFd, POLLIN, 0};
        return ::poll(&stop, 1, static_cast<int>(seconds * 1000)) > 0;
    }
};

PostgresListener::PostgresListener(std::string connection) : state_(std::make_shared<State>()) {
    state_->connection = std::move(connection);
    state_->stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([state = state_] { run(state); });
}

PostgresListener::~PostgresListener() {
    {
        std::lock_guard lock(state_->mutex);
        state_->wakes.clear();
    }
    const uint64_t one = 1;
    (void)!::write(state_->stopFd, &one, sizeof one);
    // The last holder may be a wake running on the listener's own thread.
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

bool PostgresListener::isListening() const { return state_->listening; }
int PostgresListener::connections() const { return state_->connections; }

uint64_t PostgresListener::add(Wake wake) {
    std::lock_guard lock(state_->mutex);
    state_->wakes.emplace(state_->next, std::move(wake));
    return state_->next++;
}

void PostgresListener::remove(uint64_t token) {
    std::lock_guard lock(state_->mutex);
    state_->wakes.erase(token);
}

void PostgresListener::run(const std::shared_ptr<State>& state) {
    const std::string channel = PostgresSession::kChannel;
    double retry = kFirstRetry;
    bool lost = false;
    for (;;) {
        std::string failure;
        PGconn* conn = PostgresSession::connect(state->connection, failure);
        if (conn) {
            PGresult* result = PQexec(conn, ("LISTEN " + channel).c_str());
            const bool listening = PQresultStatus(result) == PGRES_COMMAND_OK;
            PQclear(result);
            if (!listening) {
                PQfinish(conn);
                conn = nullptr;
            }
        }
        if (!conn) {
            if (!lost)
                foundation::systemLog(foundation::format("Cloud pushes from %@ paused: the server cannot be reached",
                                                         PostgresSession::describe(state->connection)));
            lost = true;
            if (state->pause(retry)) return;
            retry = std::min(retry * 2, kLongestRetry);
            continue;
        }
        state->listening = true;
        ++state->connections;
        retry = kFirstRetry;
        // Back after a loss: what changed meanwhile was never notified.
        if (lost) state->wakeAll();
        lost = false;
        bool stopping = false;
        while (!stopping) {
            pollfd fds[2] = {{PQsocket(conn), POLLIN, 0}, {state->stopFd, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents) {
                stopping = true;
                break;
            }
            // Every notification of a burst at once (one commit's arrive
            // together, maybe over several reads), so a flood costs one
            // check; the payload is anyone's text and is left unread.
            bool heard = false, alive = true;
            for (pollfd more{PQsocket(conn), POLLIN, 0};;) {
                alive = PQconsumeInput(conn) && PQstatus(conn) == CONNECTION_OK;
                while (PGnotify* notify = PQnotifies(conn)) {
                    heard = true;
                    PQfreemem(notify);
                }
                if (!alive || ::poll(&more, 1, kBurstMilliseconds) <= 0) break;
            }
            if (heard) state->wakeAll();
            if (!alive) break;
        }
        state->listening = false;
        PQfinish(conn);
        if (stopping) break;
        lost = true;
        foundation::systemLog(foundation::format("Cloud pushes from %@ paused: the connection was lost",
                                                 PostgresSession::describe(state->connection)));
        if (state->pause(retry)) break;
    }
}

}  // namespace cloud
