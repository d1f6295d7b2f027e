#include "platform/qt/qt_platform.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QThread>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/qt/qt_internal.h"

namespace corvantel::platform::qt {

// ---- Context

namespace {

int currentLoopLevel() { return QThread::currentThread()->loopLevel(); }

}  // namespace

void Context::post(std::function<void()> fn) {
    if (!anchor) return;  // the platform is gone: nothing may run any more
    calls.push_back(std::move(fn));
    ensureDrain();
}

bool Context::runOneCall() {
    if (calls.empty()) return false;
    // Off the FIFO before it runs: the call may post, wait and run other
    // calls itself.
    std::function<void()> fn = std::move(calls.front());
    calls.pop_front();
    ++callsSinceQt;
    fn();
    if (afterEvent) afterEvent();
    return true;
}

bool Context::qtTurnDue() const {
    return callsSinceQt >= kCallsPerQtTurn || std::chrono::steady_clock::now() - qtTurnAt >= kQtTurnEvery;
}

void Context::pumpQt(QEventLoop::ProcessEventsFlags flags, Pump how) {
    struct Restore {
        Context& c;
        Pump pump;
        int level;
        ~Restore() {
            c.pump = pump;
            c.pumpLoopLevel = level;
            c.callsSinceQt = 0;
            c.qtTurnAt = std::chrono::steady_clock::now();
        }
    } restore{*this, pump, pumpLoopLevel};
    // Bytes reported as sent go to the kernel before Qt runs (and perhaps
    // blocks): the peer may be waiting for them.
    flushWriteBehind();
    pump = how;
    pumpLoopLevel = currentLoopLevel();
    QCoreApplication::processEvents(flags);
}

void Context::ensureDrain() {
    if (drainPosted || calls.empty() || !anchor) return;
    drainPosted = true;
    std::weak_ptr<Context> weak = weak_from_this();
    QMetaObject::invokeMethod(
        anchor.get(),
        [weak] {
            if (auto ctx = weak.lock()) ctx->drain();
        },
        Qt::QueuedConnection);
}

void Context::drain() {
    drainPosted = false;
    flushWriteBehind();
    if (calls.empty()) return;
    if (pump != Pump::None && pumpLoopLevel == currentLoopLevel()) {
        // A wait of ours called processEvents and runs the calls itself,
        // one at a time with its condition re-tested in between, as soon as
        // processEvents returns. A blocking one must be made to return.
        if (pump == Pump::WaitBlocking) {
            if (auto* dispatcher = QAbstractEventDispatcher::instance()) dispatcher->wakeUp();
        }
        return;
    }
    // At the top of the loop (or in yield, or in a loop that is not ours):
    // a bounded batch, then Qt handles its own events before the next one.
    std::shared_ptr<Context> keep = shared_from_this();
    callsSinceQt = 0;
    qtTurnAt = std::chrono::steady_clock::now();
    while (anchor && runOneCall()) {
        if (qtTurnDue()) break;
    }
    flushWriteBehind();
    ensureDrain();
    wakeIfWaiting();
}

void Context::dropCalls() {
    // Destroying a call's captures could post again: post refuses once the
    // anchor is gone, which the caller has seen to.
    std::deque<std::function<void()>> dropped;
    dropped.swap(calls);
    dropped.clear();
}

void Context::flushWriteBehind() {
    if (writeBehind.empty()) return;
    // An endpoint flushed here may list itself again (only by a later send).
    std::vector<WriteBehind*> now;
    now.swap(writeBehind);
    for (WriteBehind* e : now) e->flushWriteBehind();
}

void Context::removeWriteBehind(WriteBehind* e) {
    writeBehind.erase(std::remove(writeBehind.begin(), writeBehind.end(), e), writeBehind.end());
}

void Context::linger(std::unique_ptr<Lingering> l) {
    lingering.erase(std::remove_if(lingering.begin(), lingering.end(),
                                   [](const std::unique_ptr<Lingering>& x) { return x->finished(); }),
                    lingering.end());
    lingering.push_back(std::move(l));
}

void Context::wakeIfWaiting() const {
    if (depth <= 0) return;
    if (auto* dispatcher = QAbstractEventDispatcher::instance()) dispatcher->wakeUp();
}

void Context::discardPending(const void* owner, std::int64_t keepId) {
    for (auto it = pending.begin(); it != pending.end();) {
        if (it->second.owner == owner && it->first != keepId) {
            ::close(it->second.fd);
            it = pending.erase(it);
        } else {
            ++it;
        }
    }
}

namespace {

// ---- Event loop

class QtEventLoop : public EventLoop {
public:
    explicit QtEventLoop(std::shared_ptr<Context> ctx) : ctx_(std::move(ctx)) {}

    void post(std::function<void()> fn) override { ctx_->post(std::move(fn)); }

    void waitUntil(const std::function<bool()>& pred) override {
        Context& c = *ctx_;
        ++c.depth;
        struct Depth {
            Context& c;
            ~Depth() {
                --c.depth;
                // Calls left when the condition came true run later: by an
                // enclosing wait, or by a drain event at the top.
                c.ensureDrain();
            }
        } guard{c};
        while (!pred()) {
            // Queued calls first, one at a time, the condition re-tested
            // after each. Qt gets a non-blocking turn now and then so that
            // sockets and timers keep going under a long chain of calls.
            if (c.runOneCall()) {
                if (c.qtTurnDue()) c.pumpQt(QEventLoop::AllEvents, Context::Pump::WaitPolling);
                continue;
            }
            // Nothing queued: WaitForMoreEvents blocks in the dispatcher's
            // poll until something happens, so a long wait uses no CPU. It
            // may also return having handled nothing, hence the re-test.
            c.pumpQt(QEventLoop::WaitForMoreEvents, Context::Pump::WaitBlocking);
        }
    }

    void yield() override {
        Context& c = *ctx_;
        // The calls queued now (not those they post), then Qt's own pending
        // events, without blocking.
        for (std::size_t n = c.calls.size(); n > 0 && c.runOneCall(); --n) {
            if (c.qtTurnDue()) c.pumpQt(QEventLoop::AllEvents, Context::Pump::None);
        }
        c.pumpQt(QEventLoop::AllEvents, Context::Pump::None);
    }

    void setAfterEvent(std::function<void()> fn) override { ctx_->afterEvent = std::move(fn); }

    int waitDepth() const override { return ctx_->depth; }

    [[noreturn]] void endProgram(int status) override {
        // Every file of the program is closed by now; only the standard
        // streams may hold buffered text. Destructors are skipped on purpose.
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(status);
    }

private:
    std::shared_ptr<Context> ctx_;
};

// ---- Clock

class QtClock : public Clock {
public:
    explicit QtClock(double scale)
        : scale_(scale),
          systemStart_(std::chrono::system_clock::now()),
          steadyStart_(std::chrono::steady_clock::now()) {}

    std::int64_t utcSeconds() const override {
        return static_cast<std::int64_t>(std::chrono::system_clock::to_time_t(current()));
    }

    LocalTime now() const override {
        std::time_t secs = std::chrono::system_clock::to_time_t(current());
        std::tm tm{};
        localtime_r(&secs, &tm);
        LocalTime out;
        out.year = tm.tm_year + 1900;
        out.month = tm.tm_mon + 1;
        out.day = tm.tm_mday;
        out.hour = tm.tm_hour;
        out.minute = tm.tm_min;
        out.second = tm.tm_sec > 59 ? 59 : tm.tm_sec;  // a leap second reads as :59
        out.weekday = tm.tm_wday;
        return out;
    }

private:
    std::chrono::system_clock::time_point current() const {
        // Follow the system clock as it is, including changes made to it.
        if (scale_ == 1.0) return std::chrono::system_clock::now();
        // Time runs scale_ times faster from the moment the platform was
        // made; the steady clock measures the real time elapsed.
        std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - steadyStart_;
        return systemStart_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(elapsed * scale_);
    }

    double scale_;
    std::chrono::system_clock::time_point systemStart_;
    std::chrono::steady_clock::time_point steadyStart_;
};

}  // namespace

// ---- QtPlatform

struct QtPlatform::Impl {
    explicit Impl(double scale) : ctx(std::make_shared<Context>()), loop(ctx), clock(scale) {
        ctx->timeScale = scale;
        ctx->anchor = std::make_unique<QObject>();
    }
    ~Impl() {
        // Drop the calls still queued and close the connections nobody took.
        ctx->anchor.reset();
        ctx->dropCalls();
        ctx->lingering.clear();
        for (auto& [id, conn] : ctx->pending) ::close(conn.fd);
        ctx->pending.clear();
    }
    std::shared_ptr<Context> ctx;
    QtEventLoop loop;
    QtClock clock;
};

QtPlatform::QtPlatform(double timeScale)
    : impl_(std::make_unique<Impl>(std::isfinite(timeScale) && timeScale >= 1.0 ? timeScale : 1.0)) {}

QtPlatform::~QtPlatform() = default;

EventLoop& QtPlatform::loop() { return impl_->loop; }

const Clock& QtPlatform::clock() const { return impl_->clock; }

std::unique_ptr<Timer> QtPlatform::makeTimer() { return makeQtTimer(impl_->ctx); }

std::unique_ptr<Endpoint> QtPlatform::makeEndpoint() { return makeQtEndpoint(impl_->ctx); }

std::unique_ptr<SftpConnection> QtPlatform::makeSftp() { return makeQtSftp(impl_->ctx); }

double QtPlatform::timeScale() const { return impl_->ctx->timeScale; }

double QtPlatform::timeScaleFromEnvironment() {
    const char* text = std::getenv("CORVANTEL_TIME_SCALE");
    if (!text || !*text) return 1.0;
    char* end = nullptr;
    double value = std::strtod(text, &end);
    while (end && (*end == ' ' || *end == '\t')) ++end;
    if (!end || *end != '\0' || !std::isfinite(value) || value < 1.0) return 1.0;
    return value;
}

}  // namespace corvantel::platform::qt
