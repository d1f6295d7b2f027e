#pragma once
// A deterministic platform for tests: a virtual clock that jumps to the next
// timer whenever nothing else is pending, timers on that clock, and in-memory
// TCP endpoints whose far ends a test drives by hand or by script.
//
// A wait that can never be satisfied (nothing pending, no timer enabled)
// throws Stuck instead of hanging; endProgram throws ProgramEnded.

#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/fake/fake_sftp.h"
#include "platform/platform.h"

namespace corvantel::platform::fake {

struct Stuck : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct ProgramEnded {
    int status;
};

class FakePlatform;
class FakeEndpoint;

// The far end of a connection, as a test sees it.
class Peer {
public:
    // Bytes the program sent on this connection, not yet taken.
    std::string takeReceived();
    const std::string& allReceived() const { return all_; }
    // Sends bytes to the program (one arrival per call).
    void send(const std::string& bytes);
    // Closes cleanly (the program's endpoint goes to Closing, no error).
    void close();
    // Breaks the connection: the program's endpoint reports a reset, or the
    // error given (neterr::TlsCut: a TLS stream ended without close_notify).
    void reset(int number = neterr::ConnectionReset);
    bool closedByProgram() const { return closedByProgram_; }
    bool open() const { return endpoint_ != nullptr && !closedByPeer_ && !closedByProgram_; }
    // The address this peer connects from, as the program sees it (empty:
    // the loopback address of the connection's family, 127.0.0.1 or ::1).
    std::string address;
    // Called (posted) whenever the program sends on this connection.
    std::function<void()> onReceive;
    // Called (posted) when the program closes this connection.
    std::function<void()> onClosedByProgram;
    // When set, sends of the program are not completed until released.
    bool holdSends = false;
    // TLS as this peer plays it: the error a handshake ends with (0: it
    // succeeds), or a handshake that never ends; what the last handshake
    // was given.
    int tlsFailure = 0;
    bool tlsStall = false;
    bool tlsStarted = false;
    bool tlsResumed = false;
    platform::TlsSettings tlsSettings;
    bool secure() const;
    void releaseSends();

private:
    friend class FakeEndpoint;
    friend class FakePlatform;
    FakePlatform* plat_ = nullptr;
    FakeEndpoint* endpoint_ = nullptr;
    std::string received_;
    std::string all_;
    bool closedByPeer_ = false;
    bool closedByProgram_ = false;
    std::int64_t heldBytes_ = 0;
    std::string early_;
    bool earlyClose_ = false;
    bool earlyReset_ = false;
    int resetNumber_ = neterr::ConnectionReset;
};

class FakePlatform : public Platform, public EventLoop, public Clock {
public:
    FakePlatform();
    ~FakePlatform() override;

    // Platform
    EventLoop& loop() override { return *this; }
    const Clock& clock() const override { return *this; }
    std::unique_ptr<Timer> makeTimer() override;
    std::unique_ptr<Endpoint> makeEndpoint() override;
    std::unique_ptr<SftpConnection> makeSftp() override;

    // EventLoop
    void post(std::function<void()> fn) override;
    void waitUntil(const std::function<bool()>& pred) override;
    void yield() override;
    void setAfterEvent(std::function<void()> fn) override { afterEvent_ = std::move(fn); }
    int waitDepth() const override { return depth_; }
    [[noreturn]] void endProgram(int status) override;

    // Clock
    LocalTime now() const override;

    // Virtual time, in milliseconds since the platform was made.
    std::int64_t nowMs() const { return nowMs_; }
    void setLocalTime(int year, int month, int day, int hour, int minute, int second);

    // Runs events and timers until virtual time has advanced by ms.
    void runFor(std::int64_t ms);
    // Runs until pred holds; throws Stuck when virtual time passes limitMs.
    void runUntil(const std::function<bool()>& pred, std::int64_t limitMs = 24LL * 3600 * 1000);

    // Network: names that resolve (everything else is "host not found"),
    // servers that accept connections, and connections made to listeners.
    void addHost(const std::string& name) { hosts_.insert(name); }
    using AcceptFn = std::function<void(std::shared_ptr<Peer>)>;
    void addServer(std::int32_t port, AcceptFn onAccept) { servers_[port] = std::move(onAccept); }
    // Connects to a listening endpoint of the program on port, from the
    // address given (empty: the loopback); returns nullptr when nothing
    // listens there.
    std::shared_ptr<Peer> connectTo(std::int32_t port, const std::string& from = {});
    bool isListening(std::int32_t port) const;
    // SFTP servers by port (on any host that resolves).
    void addSftpServer(std::int32_t port, std::shared_ptr<FakeSftpServer> server) { sftpServers_[port] = server; }
    std::shared_ptr<FakeSftpServer> sftpServer(std::int32_t port) const;
    bool resolves(const std::string& host) const { return hosts_.count(host) > 0; }

    // Internal, for the fake endpoints and timers.
    struct TimerRec;
    void registerTimer(TimerRec* t) { timers_.insert(t); }
    void unregisterTimer(TimerRec* t) { timers_.erase(t); }
    std::int32_t allocatePort() { return nextPort_++; }
    void listenOn(std::int32_t port, FakeEndpoint* e) { listeners_[port] = e; }
    void stopListening(std::int32_t port, FakeEndpoint* e);
    void connectEndpoint(FakeEndpoint* e);

    std::int64_t eventLimit = 50'000'000;
    // Virtual time past which nothing runs (a wait that would go on past it
    // throws Stuck).
    std::int64_t timeLimitMs = std::numeric_limits<std::int64_t>::max();

private:
    bool runOne();  // one event or timer; false when nothing can happen
    std::deque<std::function<void()>> queue_;
    std::set<TimerRec*> timers_;
    std::int64_t nowMs_ = 0;
    std::int64_t baseSeconds_;
    int depth_ = 0;
    std::function<void()> afterEvent_;
    std::int64_t events_ = 0;
    std::set<std::string> hosts_{"127.0.0.1", "localhost", "::1", "[::1]"};
    std::map<std::int32_t, AcceptFn> servers_;
    std::map<std::int32_t, FakeEndpoint*> listeners_;
    std::map<std::int32_t, std::shared_ptr<FakeSftpServer>> sftpServers_;
    std::int32_t nextPort_ = 40000;
};

}  // namespace corvantel::platform::fake
