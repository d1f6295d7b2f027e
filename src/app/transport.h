#pragma once
// How a session reaches its server and moves the job's files: the FTP
// dialogue (control and data endpoints, moved on by the server's replies)
// or an SFTP connection (one call at a time). The sessions' drivers, the
// further connections, wind-down, retries and the watchdog are written
// once above it; the rules of the files (pattern, proof, records, settle,
// resume, delete) are the jobs' shared functions, which both transports'
// steps call.
//
// A transport holds no state of its own (the session holds it all), so one
// instance of each serves every session; a session keeps the one it began
// with until it ends, whatever the options say meanwhile.

#include "app/task.h"

namespace corvantel {

struct ControlSession;

struct Transport {
    virtual ~Transport() = default;
    // The first session's start: connects and logs in, and over the
    // transports that list as they go, lists and takes the files too.
    // Returns once the driver has its part to do (the login done, or the
    // work over), or the session failed or is ending.
    virtual Task<> start(ControlSession& c) const = 0;
    // A further connection: connects and logs in; true once it takes files.
    virtual Task<bool> join(ControlSession& c) const = 0;
    // Takes files from the job's queue until none is left or the session
    // ends.
    virtual Task<> takeFiles(ControlSession& c) const = 0;
    // The first session's last words before its connection closes (an
    // FTP upload's leftover temporary copies removed).
    virtual Task<> finish(ControlSession&) const { co_return; }
    // Whether the further connections open all at once, rather than each
    // once the one before it is in.
    virtual bool opensTogether() const = 0;
    // Whether the session is connected and logged in.
    virtual bool up(const ControlSession& c) const = 0;
    // Ends the connection at once, whatever it waits on (the data endpoint
    // is the session's to close).
    virtual void close(ControlSession& c) const = 0;
};

// What FTP does alike for both jobs: the endpoints aimed at the job's
// server, the connection opened, the dialogue left to the replies.
struct FtpTransport : Transport {
    Task<bool> join(ControlSession& c) const override;
    bool opensTogether() const override { return false; }
    bool up(const ControlSession& c) const override;
    void close(ControlSession& c) const override;

protected:
    // Aims and opens the control connection; the dialogue goes on by the
    // server's replies.
    static void open(ControlSession& c);
};

// What SFTP does alike for both jobs: the login from the job's fields and
// options (the server's key checked first).
struct SftpTransport : Transport {
    Task<bool> join(ControlSession& c) const override;
    bool opensTogether() const override { return true; }
    bool up(const ControlSession& c) const override;
    void close(ControlSession& c) const override;
};

}  // namespace corvantel
