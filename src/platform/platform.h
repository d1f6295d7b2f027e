#pragma once
// Everything the logic needs from outside: the loop, time, timers, TCP
// endpoints and SFTP connections. One implementation runs on Qt, one fake
// runs on a virtual clock.

#include <memory>

#include "clock.h"
#include "endpoint.h"
#include "event_loop.h"
#include "sftp.h"
#include "timer.h"

namespace corvantel::platform {

class Platform {
public:
    virtual ~Platform() = default;
    virtual EventLoop& loop() = 0;
    virtual const Clock& clock() const = 0;
    virtual std::unique_ptr<Timer> makeTimer() = 0;
    virtual std::unique_ptr<Endpoint> makeEndpoint() = 0;
    virtual std::unique_ptr<SftpConnection> makeSftp() = 0;
};

}  // namespace corvantel::platform
