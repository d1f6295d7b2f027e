#pragma once
// Bounded waits for the Qt platform tests, so a failure never hangs a test.

#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>

#include "platform/qt/qt_platform.h"

namespace corvantel::testing {

using Ms = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

inline double msSince(SteadyClock::time_point t0) {
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count();
}

// Waits on the platform's loop until pred holds or ms have passed; returns
// pred(). The deadline uses a plain QTimer so that it does not depend on the
// platform's timers under test; it checks every tickMs. Its ticks also wake
// the loop, so tests of prompt wake-ups pass a long tickMs.
inline bool waitFor(platform::qt::QtPlatform& p, const std::function<bool()>& pred, int ms = 5000,
                    int tickMs = 10) {
    const auto deadline = SteadyClock::now() + Ms(ms);
    bool late = false;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] { late = SteadyClock::now() >= deadline; });
    tick.start(tickMs);
    p.loop().waitUntil([&] { return pred() || late; });
    return pred();
}

}  // namespace corvantel::testing
