#include "app/transport.h"

#include "app/connections.h"
#include "app/control_session.h"
#include "app/sftp_job.h"

namespace corvantel {

void FtpTransport::open(ControlSession& c) {
    aimConnection(c.app, c.control, c.data, c.hostField(), c.portField());
    c.control.connect();
}

Task<bool> FtpTransport::join(ControlSession& c) const {
    open(c);
    // A further connection's dialogue takes its first file as soon as it is
    // in (step 12).
    co_await c.strand.until([&] { return c.step >= 12 || connectionGone(c) || c.app.s.shuttingDown; });
    co_return c.step >= 12 && !connectionGone(c);
}

bool FtpTransport::up(const ControlSession& c) const { return c.control.state() == platform::Endpoint::Connected; }

void FtpTransport::close(ControlSession& c) const { c.control.close(); }

Task<bool> SftpTransport::join(ControlSession& c) const {
    const bool in = co_await sftpLogin(c);
    if (in) c.step = 12;
    co_return in;
}

bool SftpTransport::up(const ControlSession& c) const { return c.step >= 4 && !connectionGone(c); }

void SftpTransport::close(ControlSession& c) const {
    c.control.close();
    if (c.sftp) c.sftp->close();
}

}  // namespace corvantel
