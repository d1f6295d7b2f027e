#pragma once
// Pieces shared by the Qt platform's loop, timers and endpoints. Not part of
// the public interface: only the files of src/platform/qt include this.

#include <QEventLoop>
#include <QObject>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "platform/platform.h"

namespace corvantel::platform::qt {

// A connection taken from a listening socket and not yet given to an
// endpoint by accept(id).
struct PendingConnection {
    int fd = -1;
    const void* owner = nullptr;  // the listening endpoint that took it
};

// An endpoint holding bytes it has reported as sent but not yet written to
// the kernel (see QtEndpoint::sendData). Context::flushWriteBehind writes them
// before the loop blocks or hands over to Qt.
struct WriteBehind {
    virtual void flushWriteBehind() = 0;

protected:
    ~WriteBehind() = default;
};

// A closed connection still writing out bytes that were reported as sent;
// it closes its socket when done, on an error, or after a time limit.
struct Lingering {
    virtual ~Lingering() = default;
    virtual bool finished() const = 0;
};

// State shared by everything one QtPlatform makes. Timers and endpoints hold
// it by shared pointer so that they stay safe if they outlive the platform.
//
// Posted calls do not go through Qt one by one: they wait in our own FIFO
// (calls). A wait runs them directly, one at a time; at the top of the loop
// one Qt event (the drain) runs them in bounded batches. So a call costs a
// queue entry, not a Qt event, a wake-up and a poll.
struct Context : std::enable_shared_from_this<Context> {
    // After this many queued calls, or this long, without Qt having handled
    // its own events, Qt gets one non-blocking turn: a chain of calls that
    // keeps refilling the FIFO must not starve sockets and timers.
    static constexpr int kCallsPerQtTurn = 64;
    static constexpr std::chrono::microseconds kQtTurnEvery{2000};

    // Who is inside processEvents right now, as seen by a drain event that
    // comes up there.
    enum class Pump {
        None,          // no wait of ours (top level, yield, another loop)
        WaitPolling,   // waitUntil, non-blocking turn
        WaitBlocking,  // waitUntil, blocking until something happens
    };

    double timeScale = 1.0;
    // Number of waitUntil calls currently active.
    int depth = 0;
    // Receiver of the drain event. Deleting it (when the platform goes)
    // drops that event; the FIFO is cleared at the same time, so no call
    // runs against freed objects.
    std::unique_ptr<QObject> anchor;
    // Connections accepted by listening endpoints, keyed by request id.
    std::int64_t nextRequestId = 0;
    std::map<std::int64_t, PendingConnection> pending;

    // Posted calls, oldest first.
    std::deque<std::function<void()>> calls;
    // A drain event is queued in Qt and has not run yet.
    bool drainPosted = false;
    // Innermost processEvents called by this platform, and the Qt loop
    // level it was called at (a dialog's exec() inside it raises the level).
    Pump pump = Pump::None;
    int pumpLoopLevel = 0;
    // Endpoints with bytes taken but not yet written, each listed once.
    std::vector<WriteBehind*> writeBehind;
    // Closed connections still writing out what they had taken.
    std::vector<std::unique_ptr<Lingering>> lingering;
    // Queued calls run since Qt last handled its own events, and when that was.
    int callsSinceQt = 0;
    std::chrono::steady_clock::time_point qtTurnAt = std::chrono::steady_clock::now();

    // Run after each queued call and each timer's tick (see EventLoop).
    std::function<void()> afterEvent;

    // Appends fn to the FIFO; it runs later, never inside this call.
    void post(std::function<void()> fn);

    // Takes the oldest queued call off the FIFO and runs it; false when the
    // FIFO is empty.
    bool runOneCall();

    // True when Qt should handle its own pending events before more queued
    // calls run.
    bool qtTurnDue() const;

    // QCoreApplication::processEvents(flags), recording who called it.
    void pumpQt(QEventLoop::ProcessEventsFlags flags, Pump how);

    // Makes sure one drain event is queued in Qt while calls wait.
    void ensureDrain();

    // The drain event: runs a bounded batch of queued calls, unless the
    // wait that is pumping Qt here will run them itself.
    void drain();

    // Drops every queued call (the platform is going away).
    void dropCalls();

    // Writes out what every endpoint in writeBehind holds.
    void flushWriteBehind();
    void removeWriteBehind(WriteBehind* e);

    // Keeps a closed connection writing until it is done (drops the
    // finished ones first).
    void linger(std::unique_ptr<Lingering> l);

    // After a handler ran while a wait is active, makes the dispatcher
    // return from its blocking poll so that every enclosing wait re-tests
    // its condition (without this, a wait could sleep until some unrelated
    // event).
    void wakeIfWaiting() const;

    // Closes the pending connections taken by owner, except keepId.
    void discardPending(const void* owner, std::int64_t keepId = -1);
};

std::unique_ptr<Timer> makeQtTimer(std::shared_ptr<Context> ctx);
std::unique_ptr<Endpoint> makeQtEndpoint(std::shared_ptr<Context> ctx);
// An SFTP connection (libssh) whose calls run on a thread of its own and
// whose answers come back through ctx's loop.
std::unique_ptr<SftpConnection> makeQtSftp(std::shared_ptr<Context> ctx);
// The SFTP connections' threads still running: a closed connection's thread
// is left to end by itself once its socket is shut down (for tests that
// check for leaks at exit).
std::size_t sftpWorkersRunning();

}  // namespace corvantel::platform::qt
