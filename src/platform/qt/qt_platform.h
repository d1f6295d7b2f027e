#pragma once
// The real platform on Qt 6: QCoreApplication's event loop, QTimer-based
// timers and TCP endpoints on non-blocking sockets watched by the loop.
// A QCoreApplication (or QApplication) must exist before this is made.
//
// timeScale N > 1 makes the program's time run N times faster (tests and
// demos only): every timer interval is divided by N and the clock advances
// N times as fast from the moment the platform was made.

#include <memory>

#include "platform/platform.h"

namespace corvantel::platform::qt {

class QtPlatform : public Platform {
public:
    explicit QtPlatform(double timeScale = 1.0);
    ~QtPlatform() override;

    EventLoop& loop() override;
    const Clock& clock() const override;
    std::unique_ptr<Timer> makeTimer() override;
    std::unique_ptr<Endpoint> makeEndpoint() override;
    std::unique_ptr<SftpConnection> makeSftp() override;

    double timeScale() const;

    // The value of CORVANTEL_TIME_SCALE, or 1 when unset or not a number >= 1.
    static double timeScaleFromEnvironment();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace corvantel::platform::qt
