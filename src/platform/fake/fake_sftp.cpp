#include "platform/fake/fake_sftp.h"

#include <algorithm>
#include <memory>

#include "platform/fake/fake_platform.h"

namespace corvantel::platform::fake {

namespace {

class FakeSftpConnection : public SftpConnection {
public:
    explicit FakeSftpConnection(FakePlatform& p) : p_(p), timer_(p.makeTimer()) {
        timer_->onTick = [this] { answer(); };
    }

    void connect(const SftpLogin& login, Done done) override {
        if (pending_) {
            start(std::move(done));
            return;
        }
        close();
        start(std::move(done));
        pending_ = true;
        SftpReply r;
        server_ = p_.resolves(login.host) ? p_.sftpServer(login.port) : nullptr;
        if (!server_) {
            r.status = p_.resolves(login.host) ? SftpStatus::ConnectFailed : SftpStatus::HostNotFound;
            r.message = p_.resolves(login.host) ? "Connection refused" : "Name or service not known";
            return reply("connect", login.host, std::move(r));
        }
        auto& sv = *server_;
        id_ = ++sv.connections;
        if (preempt("connect", login.host)) return;
        sv.lastLogin = login;
        r.fingerprint = sv.fingerprint;
        r.posixRename = sv.posixRename;
        const bool pinned =
            std::find(login.pinnedKeys.begin(), login.pinnedKeys.end(), sv.fingerprint) != login.pinnedKeys.end();
        if (!pinned && sv.known == FakeSftpServer::Known::Changed) {
            r.status = SftpStatus::HostKeyChanged;
        } else if (!pinned && sv.known == FakeSftpServer::Known::No && login.acceptNewInto.empty()) {
            r.status = SftpStatus::HostKeyUnknown;
        } else if (login.user != sv.user || !((!login.password.empty() && login.password == sv.password) ||
                                              (!login.keyFile.empty() && login.keyFile == sv.acceptedKey))) {
            sv.authenticated = true;
            r.status = SftpStatus::LoginRefused;
            r.message = "Permission denied";
        } else if (sv.limit > 0 && sv.open >= sv.limit) {
            r.status = SftpStatus::LoginRefused;
            r.message = "too many connections";
        } else if (!sv.subsystem) {
            sv.authenticated = true;
            r.status = SftpStatus::NoSubsystem;
        } else {
            sv.authenticated = true;
            up_ = true;
            sv.mostOpen = std::max(sv.mostOpen, ++sv.open);
        }
        reply("connect", login.host, std::move(r));
    }

    void list(const std::string& folder, Done done) override {
        if (!startUp(std::move(done)) || preempt("list", folder)) return;
        SftpReply r;
        const std::string prefix = folder.empty() || folder.back() == '/' ? folder : folder + "/";
        for (const auto& [path, f] : server_->files) {
            if (path.rfind(prefix, 0) != 0) continue;
            const std::string name = path.substr(prefix.size());
            if (name.find('/') != std::string::npos) continue;
            r.entries.push_back({name, static_cast<std::int64_t>(f.bytes.size()), f.mtime, f.regular});
        }
        reply("list", folder, std::move(r));
    }

    void stat(const std::string& path, Done done) override {
        if (!startUp(std::move(done)) || preempt("stat", path)) return;
        SftpReply r;
        auto it = server_->files.find(path);
        if (it == server_->files.end())
            r.status = SftpStatus::NoSuchFile;
        else
            r.attributes = {"", static_cast<std::int64_t>(it->second.bytes.size()), it->second.mtime,
                            it->second.regular};
        reply("stat", path, std::move(r));
    }

    void openRead(const std::string& path, std::int64_t offset, Done done) override {
        if (!startUp(std::move(done))) return;
        path_ = path;
        reading_ = false;
        if (preempt("open-read", path)) return;
        SftpReply r;
        auto it = server_->files.find(path);
        if (it == server_->files.end())
            r.status = SftpStatus::NoSuchFile;
        else if (!it->second.readable || !it->second.regular)
            r.status = SftpStatus::PermissionDenied;
        path_ = path;
        position_ = offset;
        reading_ = r.status == SftpStatus::Ok;
        reply("open-read", path, std::move(r));
    }

    void read(Done done) override {
        if (!startUp(std::move(done)) || preempt("read", path_)) return;
        SftpReply r;
        auto it = server_->files.find(path_);
        if (!reading_ || it == server_->files.end()) {
            r.status = SftpStatus::Failure;
        } else if (position_ >= static_cast<std::int64_t>(it->second.bytes.size())) {
            r.status = SftpStatus::Eof;
        } else {
            r.bytes = it->second.bytes.substr(static_cast<std::size_t>(position_),
                                              std::min(server_->readChunk, maxReadBytes));
            position_ += static_cast<std::int64_t>(r.bytes.size());
        }
        reply("read", path_, std::move(r));
    }

    void openWrite(const std::string& path, std::int64_t offset, Done done) override {
        if (!startUp(std::move(done))) return;
        path_ = path;
        writing_ = false;
        if (preempt("open-write", path)) return;
        SftpReply r;
        auto it = server_->files.find(path);
        if (it != server_->files.end() && (!it->second.writable || !it->second.regular)) {
            r.status = SftpStatus::PermissionDenied;
        } else if (offset > 0 &&
                   (it == server_->files.end() || static_cast<std::int64_t>(it->second.bytes.size()) < offset)) {
            r.status = SftpStatus::Failure;
        } else {
            auto& f = server_->files[path];
            f.bytes.resize(static_cast<std::size_t>(offset));
            f.mtime = p_.nowMs() / 1000 + 1'700'000'000;
        }
        path_ = path;
        writing_ = r.status == SftpStatus::Ok;
        reply("open-write", path, std::move(r));
    }

    void write(std::string bytes, Done done) override {
        if (!startUp(std::move(done)) || preempt("write", path_)) return;
        SftpReply r;
        auto it = server_->files.find(path_);
        if (!writing_ || it == server_->files.end())
            r.status = SftpStatus::Failure;
        else
            it->second.bytes += bytes;
        reply("write", path_, std::move(r));
    }

    void closeFile(Done done) override {
        if (!startUp(std::move(done)) || preempt("close", path_)) return;
        SftpReply r;
        auto it = server_->files.find(path_);
        if (writing_ && it != server_->files.end())
            r.attributes = {"", static_cast<std::int64_t>(it->second.bytes.size()), it->second.mtime,
                            it->second.regular};
        reading_ = writing_ = false;
        reply("close", path_, std::move(r));
    }

    void rename(const std::string& from, const std::string& to, Done done) override {
        if (!startUp(std::move(done)) || preempt("rename", from + " " + to)) return;
        SftpReply r;
        auto& fs = server_->files;
        if (!fs.count(from))
            r.status = SftpStatus::NoSuchFile;
        else if (fs.count(to) && !server_->posixRename)
            r.status = SftpStatus::Failure;
        if (r.status == SftpStatus::Ok) {
            auto f = fs[from];
            fs.erase(from);
            fs[to] = f;
        }
        reply("rename", from + " " + to, std::move(r));
    }

    void remove(const std::string& path, Done done) override {
        if (!startUp(std::move(done)) || preempt("remove", path)) return;
        SftpReply r;
        if (server_->files.erase(path) == 0) r.status = SftpStatus::NoSuchFile;
        reply("remove", path, std::move(r));
    }

    ~FakeSftpConnection() override { close(); }

    void close() override {
        if (up_ && server_) --server_->open;
        pending_ = false;
        up_ = reading_ = writing_ = false;
        timer_->setEnabled(false);
        done_ = nullptr;
    }

    bool busy() const override { return pending_; }

private:
    bool start(Done done) {
        if (pending_) {
            p_.post([done = std::move(done)] { done(SftpReply{SftpStatus::Busy, "busy"}); });
            return false;
        }
        done_ = std::move(done);
        return true;
    }
    bool startUp(Done done) {
        if (!start(std::move(done))) return false;
        if (!up_) {
            auto d = std::move(done_);
            p_.post([d = std::move(d)] { d(SftpReply{SftpStatus::Busy, "not connected"}); });
            return false;
        }
        pending_ = true;
        return true;
    }
    // The arriving hook's answer, if it gives one: the call then takes no
    // effect.
    bool preempt(const std::string& call, const std::string& path) {
        if (!server_ || !server_->arriving) return false;
        server_->speaking = id_;
        SftpReply r;
        if (!server_->arriving(call, path, r)) return false;
        reply(call, path, std::move(r));
        return true;
    }
    void reply(const std::string& call, const std::string& path, SftpReply r) {
        int latency = 1;
        if (server_) {
            server_->calls.push_back(call + " " + path);
            server_->speaking = id_;
            const bool answered = !server_->fault || server_->fault(call, path, r);
            latency = server_->answerLatencyMs >= 0 ? server_->answerLatencyMs : server_->latencyMs;
            server_->answerLatencyMs = -1;
            if (!answered) return;  // never answered
        }
        if (up_ && (r.status == SftpStatus::Lost || (call == "connect" && r.status != SftpStatus::Ok))) {
            up_ = false;
            if (server_) --server_->open;
        }
        answer_ = std::move(r);
        timer_->setInterval(std::max(latency, 1));
        timer_->setEnabled(true);
    }
    void answer() {
        timer_->setEnabled(false);
        if (!pending_) return;
        pending_ = false;
        auto d = std::move(done_);
        done_ = nullptr;
        if (d) d(std::move(answer_));
    }

    FakePlatform& p_;
    std::unique_ptr<Timer> timer_;
    std::shared_ptr<FakeSftpServer> server_;
    Done done_;
    SftpReply answer_;
    bool pending_ = false;
    bool up_ = false;
    bool reading_ = false;
    bool writing_ = false;
    std::string path_;
    std::int64_t position_ = 0;
    int id_ = 0;
};

}  // namespace

std::unique_ptr<SftpConnection> FakePlatform::makeSftp() { return std::make_unique<FakeSftpConnection>(*this); }

std::shared_ptr<FakeSftpServer> FakePlatform::sftpServer(std::int32_t port) const {
    auto it = sftpServers_.find(port);
    return it == sftpServers_.end() ? nullptr : it->second;
}

}  // namespace corvantel::platform::fake
