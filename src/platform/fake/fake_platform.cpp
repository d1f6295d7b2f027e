#include "fake_platform.h"

#include <algorithm>
#include <limits>

namespace corvantel::platform::fake {

struct FakePlatform::TimerRec {
    std::int64_t due = 0;
    std::int64_t seq = 0;
};

namespace {

class FakeTimer : public Timer, public FakePlatform::TimerRec {
public:
    explicit FakeTimer(FakePlatform& p) : p_(p) {
        static std::int64_t counter = 0;
        seq = ++counter;
    }
    ~FakeTimer() override { p_.unregisterTimer(this); }
    void setInterval(int ms) override {
        interval_ = ms;
        if (enabled_) restart();
    }
    int interval() const override { return interval_; }
    void setEnabled(bool on) override {
        if (on == enabled_) return;
        enabled_ = on;
        if (on)
            restart();
        else
            p_.unregisterTimer(this);
    }
    bool enabled() const override { return enabled_; }
    void expire() {
        due += std::max(interval_, 1);
        fire();
    }

private:
    void restart() {
        due = p_.nowMs() + std::max(interval_, 1);
        if (interval_ > 0)
            p_.registerTimer(this);
        else
            p_.unregisterTimer(this);
    }
    FakePlatform& p_;
    int interval_ = 0;
    bool enabled_ = false;
};

}  // namespace

class FakeEndpoint : public Endpoint {
public:
    explicit FakeEndpoint(FakePlatform& p) : p_(p) {}
    ~FakeEndpoint() override { close(); }

    void setLocalPort(std::int32_t port) override { localPort_ = port; }
    std::int32_t localPort() const override { return localPort_; }
    // Every connection is on the loopback: IPv6 when the host (or, for a
    // listener, the local host) is written as an IPv6 address. A peer may
    // say it comes from another address.
    std::string localIP() const override { return loopback(); }
    std::string remoteIP() const override { return peerIP_.empty() ? loopback() : peerIP_; }
    State state() const override { return state_; }

    void connect() override {
        close();
        ipv6_ = remoteHost().find(':') != std::string::npos;
        state_ = ResolvingHost;
        auto gen = generation_;
        p_.post([this, gen] {
            if (gen != generation_) return;
            p_.connectEndpoint(this);
        });
    }

    void listen() override {
        if (state_ != Closed) close();
        dropPending();
        ipv6_ = localHost().find(':') != std::string::npos;
        if (localPort_ == 0) localPort_ = p_.allocatePort();
        state_ = Listening;
        p_.listenOn(localPort_, this);
    }

    void accept(std::int64_t id) override {
        auto it = pending_.find(id);
        if (it == pending_.end()) return;
        auto peer = it->second;
        pending_.erase(it);
        dropPending();
        if (state_ != Closed) close();
        bind(peer);
        if (!peer->early_.empty()) {
            std::string early;
            early.swap(peer->early_);
            deliver(early);
        }
        if (peer->earlyClose_) peerClosed(false);
        if (peer->earlyReset_) peerClosed(true, peer->resetNumber_);
    }

    std::string requestIP(std::int64_t id) const override {
        auto it = pending_.find(id);
        if (it == pending_.end()) return {};
        return it->second->address.empty() ? loopback() : it->second->address;
    }

    void refuse(std::int64_t id) override {
        auto it = pending_.find(id);
        if (it == pending_.end()) return;
        auto peer = it->second;
        pending_.erase(it);
        closePending(peer);
    }

    // Connections never taken are closed by the program, as a real
    // listener's are.
    void closePending(const std::shared_ptr<Peer>& peer) {
        peer->closedByProgram_ = true;
        if (peer->onClosedByProgram) p_.post([peer] { peer->onClosedByProgram(); });
    }
    void dropPending() {
        for (auto& [id, peer] : pending_) closePending(peer);
        pending_.clear();
    }

    void close() override {
        ++generation_;
        secure_ = false;
        if (state_ == Listening) p_.stopListening(localPort_, this);
        if (peer_) {
            peer_->closedByProgram_ = true;
            peer_->endpoint_ = nullptr;
            if (peer_->onClosedByProgram) {
                auto peer = peer_;
                p_.post([peer] { peer->onClosedByProgram(); });
            }
            peer_.reset();
        }
        buffer_.clear();
        state_ = Closed;
        localPort_ = 0;
    }

    bool send(const std::string& bytes) {
        if (state_ != Connected || !peer_) return false;
        peer_->received_ += bytes;
        peer_->all_ += bytes;
        auto peer = peer_;
        auto gen = generation_;
        std::int64_t n = static_cast<std::int64_t>(bytes.size());
        if (peer->holdSends) {
            peer->heldBytes_ += n;
        } else {
            p_.post([this, gen, n] {
                if (gen != generation_) return;
                if (onSendProgress) onSendProgress(n, 0);
                if (gen == generation_ && onSendComplete) onSendComplete();
            });
        }
        p_.post([peer] {
            if (peer->onReceive) peer->onReceive();
        });
        return true;
    }
    bool sendData(const std::string& bytes) override { return send(bytes); }

    void startTls(const TlsSettings& settings, const Endpoint* resumeFrom) override {
        if (state_ != Connected || !peer_) {
            fail(neterr::TlsFailed, "TLS needs a connection");
            return;
        }
        auto peer = peer_;
        peer->tlsStarted = true;
        peer->tlsResumed = resumeFrom != nullptr && resumeFrom->secure();
        peer->tlsSettings = settings;
        if (peer->tlsStall) return;
        if (peer->tlsFailure != 0) {
            fail(peer->tlsFailure, "TLS handshake failed");
            return;
        }
        auto gen = generation_;
        p_.post([this, gen, peer] {
            if (gen != generation_) return;
            // A failure set by the server when it took the connection,
            // which may come after startTls.
            if (peer->tlsFailure != 0) {
                state_ = Error;
                if (onError) onError(peer->tlsFailure, "TLS handshake failed");
                return;
            }
            secure_ = true;
            if (onTlsReady) onTlsReady();
        });
    }
    bool secure() const override { return secure_ && state_ == Connected; }

    std::string getData() override {
        std::string out;
        out.swap(buffer_);
        return out;
    }
    std::int64_t bytesAvailable() const override { return static_cast<std::int64_t>(buffer_.size()); }

    // Called by the platform and the peers.
    void bind(std::shared_ptr<Peer> peer) {
        peer_ = peer;
        peerIP_ = peer->address;
        peer->endpoint_ = this;
        peer->plat_ = &p_;
        state_ = Connected;
    }
    void deliver(const std::string& bytes) {
        buffer_ += bytes;
        auto gen = generation_;
        std::int64_t n = static_cast<std::int64_t>(buffer_.size());
        p_.post([this, gen, n] {
            if (gen == generation_ && onDataArrival) onDataArrival(n);
        });
    }
    void peerClosed(bool reset, int number = neterr::ConnectionReset) {
        auto gen = generation_;
        p_.post([this, gen, reset, number] {
            if (gen != generation_) return;
            if (peer_) peer_->endpoint_ = nullptr;
            // After a clean close the peer still hears of the program's own
            // close (servers that linger for it wait on that).
            if (reset) peer_.reset();
            if (reset) {
                state_ = Error;
                if (onError)
                    onError(number, number == neterr::TlsCut ? "The TLS stream ended without close_notify"
                                                             : "Connection reset by peer");
            } else {
                state_ = Closing;
                if (onClose) onClose();
            }
        });
    }
    void fail(int number, const std::string& text) {
        state_ = Error;
        auto gen = generation_;
        p_.post([this, gen, number, text] {
            if (gen == generation_ && onError) onError(number, text);
        });
    }
    void completeHeld(std::int64_t n) {
        auto gen = generation_;
        p_.post([this, gen, n] {
            if (gen != generation_) return;
            if (onSendProgress) onSendProgress(n, 0);
            if (gen == generation_ && onSendComplete) onSendComplete();
        });
    }
    void request(std::shared_ptr<Peer> peer) {
        std::int64_t id = ++nextRequest_;
        pending_[id] = peer;
        auto gen = generation_;
        p_.post([this, gen, id] {
            if (gen == generation_ && onConnectionRequest) onConnectionRequest(id);
        });
    }

private:
    friend class Peer;
    FakePlatform& p_;
    std::string loopback() const { return ipv6_ ? "::1" : "127.0.0.1"; }
    bool secure_ = false;
    bool ipv6_ = false;
    std::string peerIP_;
    State state_ = Closed;
    std::int32_t localPort_ = 0;
    std::string buffer_;
    std::shared_ptr<Peer> peer_;
    std::map<std::int64_t, std::shared_ptr<Peer>> pending_;
    std::int64_t generation_ = 0;
    std::int64_t nextRequest_ = 0;
};

// ---- Peer

bool Peer::secure() const { return endpoint_ != nullptr && endpoint_->secure(); }

std::string Peer::takeReceived() {
    std::string out;
    out.swap(received_);
    return out;
}

void Peer::send(const std::string& bytes) {
    if (closedByPeer_) return;
    if (endpoint_)
        endpoint_->deliver(bytes);
    else if (!closedByProgram_)
        early_ += bytes;
}

void Peer::close() {
    if (closedByPeer_) return;
    closedByPeer_ = true;
    if (endpoint_)
        endpoint_->peerClosed(false);
    else
        earlyClose_ = true;
}

void Peer::reset(int number) {
    if (closedByPeer_) return;
    closedByPeer_ = true;
    resetNumber_ = number;
    if (endpoint_)
        endpoint_->peerClosed(true, number);
    else
        earlyReset_ = true;
}

void Peer::releaseSends() {
    holdSends = false;
    if (endpoint_ && heldBytes_ > 0) endpoint_->completeHeld(heldBytes_);
    heldBytes_ = 0;
}

// ---- FakePlatform

FakePlatform::FakePlatform() : baseSeconds_(epochSecondsFromCivil(2026, 12, 7, 4, 0, 0)) {}

FakePlatform::~FakePlatform() = default;

std::unique_ptr<Timer> FakePlatform::makeTimer() { return std::make_unique<FakeTimer>(*this); }

std::unique_ptr<Endpoint> FakePlatform::makeEndpoint() { return std::make_unique<FakeEndpoint>(*this); }

void FakePlatform::post(std::function<void()> fn) { queue_.push_back(std::move(fn)); }

bool FakePlatform::runOne() {
    if (++events_ > eventLimit) throw Stuck("fake platform: event limit reached (a loop that never ends?)");
    if (!queue_.empty()) {
        auto fn = std::move(queue_.front());
        queue_.pop_front();
        fn();
        if (afterEvent_) afterEvent_();
        return true;
    }
    TimerRec* next = nullptr;
    for (auto* t : timers_)
        if (!next || t->due < next->due || (t->due == next->due && t->seq < next->seq)) next = t;
    if (!next) return false;
    if (next->due > timeLimitMs) throw Stuck("fake platform: virtual time limit reached");
    nowMs_ = std::max(nowMs_, next->due);
    static_cast<FakeTimer*>(next)->expire();
    if (afterEvent_) afterEvent_();
    return true;
}

void FakePlatform::waitUntil(const std::function<bool()>& pred) {
    ++depth_;
    struct Depth {
        int& d;
        ~Depth() { --d; }
    } guard{depth_};
    while (!pred()) {
        if (!runOne()) throw Stuck("fake platform: a wait can never end (nothing pending, no timer enabled)");
    }
}

void FakePlatform::yield() {
    std::size_t n = queue_.size();
    for (std::size_t i = 0; i < n && !queue_.empty(); ++i) {
        auto fn = std::move(queue_.front());
        queue_.pop_front();
        fn();
        if (afterEvent_) afterEvent_();
    }
}

void FakePlatform::endProgram(int status) { throw ProgramEnded{status}; }

LocalTime FakePlatform::now() const { return civilFromEpochSeconds(baseSeconds_ + nowMs_ / 1000); }

void FakePlatform::setLocalTime(int year, int month, int day, int hour, int minute, int second) {
    baseSeconds_ = epochSecondsFromCivil(year, month, day, hour, minute, second) - nowMs_ / 1000;
}

void FakePlatform::runFor(std::int64_t ms) {
    const std::int64_t target = nowMs_ + ms;
    for (;;) {
        if (!queue_.empty()) {
            runOne();
            continue;
        }
        std::int64_t nextDue = std::numeric_limits<std::int64_t>::max();
        for (auto* t : timers_) nextDue = std::min(nextDue, t->due);
        if (nextDue > target) break;
        runOne();
    }
    nowMs_ = std::max(nowMs_, target);
}

void FakePlatform::runUntil(const std::function<bool()>& pred, std::int64_t limitMs) {
    const std::int64_t deadline = nowMs_ + limitMs;
    waitUntil([&] { return pred() || nowMs_ > deadline; });
    if (!pred()) throw Stuck("fake platform: condition not reached within the time limit");
}

std::shared_ptr<Peer> FakePlatform::connectTo(std::int32_t port, const std::string& from) {
    auto it = listeners_.find(port);
    if (it == listeners_.end()) return nullptr;
    auto peer = std::make_shared<Peer>();
    peer->plat_ = this;
    peer->address = from;
    it->second->request(peer);
    return peer;
}

bool FakePlatform::isListening(std::int32_t port) const { return listeners_.count(port) > 0; }

void FakePlatform::stopListening(std::int32_t port, FakeEndpoint* e) {
    auto it = listeners_.find(port);
    if (it != listeners_.end() && it->second == e) listeners_.erase(it);
}

void FakePlatform::connectEndpoint(FakeEndpoint* e) {
    if (!hosts_.count(e->remoteHost())) {
        e->fail(neterr::HostNotFound, "Host not found");
        return;
    }
    auto it = servers_.find(e->remotePort());
    if (it == servers_.end()) {
        e->fail(neterr::ConnectionRefused, "Connection refused");
        return;
    }
    auto peer = std::make_shared<Peer>();
    e->bind(peer);
    if (e->onConnect) {
        auto cb = e->onConnect;
        post(cb);
    }
    auto accept = it->second;
    post([accept, peer] { accept(peer); });
}

}  // namespace corvantel::platform::fake
