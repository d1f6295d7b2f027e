// Window timers on QTimer.

#include <QTimer>

#include <algorithm>
#include <cmath>

#include "platform/qt/qt_internal.h"

namespace corvantel::platform::qt {

namespace {

class QtTimer : public Timer {
public:
    explicit QtTimer(std::shared_ptr<Context> ctx) : ctx_(std::move(ctx)) {
        // Precise timers: the default coarse ones may fire tens of
        // milliseconds early, which breaks waits on deadlines.
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setSingleShot(false);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            // Keep the context: the tick handler may delete this timer.
            std::shared_ptr<Context> ctx = ctx_;
            fire();
            if (ctx->afterEvent) ctx->afterEvent();
            ctx->wakeIfWaiting();
        });
    }

    void setInterval(int ms) override {
        interval_ = ms;
        if (enabled_) apply();
    }
    int interval() const override { return interval_; }

    void setEnabled(bool on) override {
        if (on == enabled_) return;
        enabled_ = on;
        apply();
    }
    bool enabled() const override { return enabled_; }

private:
    // Starts (or restarts) the count from now, or stops the timer. An
    // interval of 0 never ticks, as with the window timers being replaced.
    void apply() {
        if (!enabled_ || interval_ <= 0) {
            timer_.stop();
            return;
        }
        double scaled = std::round(static_cast<double>(interval_) / ctx_->timeScale);
        timer_.start(static_cast<int>(std::max(1.0, scaled)));
    }

    std::shared_ptr<Context> ctx_;
    QTimer timer_;
    int interval_ = 0;
    bool enabled_ = false;
};

}  // namespace

std::unique_ptr<Timer> makeQtTimer(std::shared_ptr<Context> ctx) {
    return std::make_unique<QtTimer>(std::move(ctx));
}

}  // namespace corvantel::platform::qt
