#pragma once
// What every connection of either job does alike, one copy for both: where
// its endpoints point, and the further connections --parallel opens: their
// own endpoints and timers, their lives, the queue of files lost ones give
// back, and the first session's wait for them.

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/control_session.h"
#include "app/task.h"
#include "platform/endpoint.h"
#include "platform/timer.h"

namespace corvantel {

// Points a connection at the host and port fields' values: the control
// endpoint, and the data endpoint (listening on any interface for now in
// active mode; the login narrows it to the server's).
void aimConnection(App& app, platform::Endpoint& control, platform::Endpoint& data, const std::string& host,
                   const std::string& port);

// The files lost connections gave back, for the job's other connections
// to take: each goes back once in a job run, then fails.
struct Requeue {
    // The first session is ending: the further connections take no more
    // files.
    bool stop = false;
    std::deque<std::string> names;
    NameRecord once;
    // Gives name back; false when it went back once already.
    bool giveBack(const std::string& name);
    // A new session of the job: nothing is given back yet.
    void newSession() {
        stop = false;
        names.clear();
    }
};

// A job's sessions: the first (on the window's endpoints and timers) and
// the further ones --parallel opens, each made with its own endpoints and
// timers the first time it is wanted and kept for the life of the program.
class SessionGroup : public JobSessions {
public:
    explicit SessionGroup(App& app) : app_(app) {}
    // A session may wait for another (the first for the others to end):
    // all are polled again while any went on.
    void poll() override;
    ControlSession& first() { return *all.front(); }
    ControlSession& at(std::size_t k);
    std::vector<std::unique_ptr<ControlSession>> all;
    Requeue requeue;

protected:
    App& app_;
    virtual std::unique_ptr<ControlSession> make(platform::Endpoint& control, platform::Endpoint& data,
                                                 platform::Timer& seconds, platform::Timer& watchdog) = 0;

private:
    std::vector<std::unique_ptr<platform::Endpoint>> endpoints_;
    std::vector<std::unique_ptr<platform::Timer>> timers_;
};

// Whether a connection is gone: lost, failed, or taken over.
bool connectionGone(const ControlSession& c);
// Whether a connection is up: over FTP its control connection is connected,
// over SFTP it is logged in (step 4 on) and not gone.
bool connectionUp(const ControlSession& c);

// Opens the further connections of this run (none with one connection):
// they log in one after another (each once the one before it is in, which
// spaces out the logins to the host) and take files from the job's queue.
// One the server does not let in (a connection limit: 421 at the greeting,
// a refused login) ends quietly, and no more are opened in that run. One
// that is lost, or silent past its own watchdog, ends alone: its file in
// flight goes back to the queue once, then fails.
void startFurtherConnections(SessionGroup& group);

// The first session is ending: the further connections take no more files,
// and this waits until each has ended. Files their lost connections left,
// that no connection took again, fail then.
Task<> endFurtherConnections(SessionGroup& group);

}  // namespace corvantel
