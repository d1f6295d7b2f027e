#pragma once
// Pieces shared by the Qt platform's loop, timers and endpoints. Not part of
// the public interface: only the files of src/platform/qt include this.

#include <QObject>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "platform/platform.h"

namespace corvantel::platform::qt {

// A connection taken from a listening socket and not yet given to an
// endpoint by accept(id).
struct PendingConnection {
    int fd = -1;
    const void* owner = nullptr;  // the listening endpoint that took it
};

// State shared by everything one QtPlatform makes. Timers and endpoints hold
// it by shared pointer so that they stay safe if they outlive the platform.
struct Context : std::enable_shared_from_this<Context> {
    double timeScale = 1.0;
    // Number of waitUntil calls currently active.
    int depth = 0;
    // Receiver of every queued call. Deleting it (when the platform goes)
    // drops the calls still queued, so none runs against freed objects.
    std::unique_ptr<QObject> anchor;
    // Connections accepted by listening endpoints, keyed by request id.
    std::int64_t nextRequestId = 0;
    std::map<std::int64_t, PendingConnection> pending;

    // Queues fn as a call on the Qt loop; after it has run, wakes the loop
    // if a wait is active so that the enclosing wait re-tests promptly.
    void post(std::function<void()> fn);

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

}  // namespace corvantel::platform::qt
