#include "support/fake_ftp_server.h"

#include "app/text.h"
#include "platform/files.h"

#include <cstdlib>

namespace corvantel::testing {

using platform::fake::Peer;

FakeFtpServer::FakeFtpServer(platform::fake::FakePlatform& plat, std::int32_t port) : plat_(plat) {
    plat.addServer(port, [this](std::shared_ptr<Peer> peer) { accepted(std::move(peer)); });
}

void FakeFtpServer::accepted(std::shared_ptr<Peer> peer) {
    ++sessions;
    control = peer;
    buffer_.clear();
    loggedIn_ = false;
    protP_ = false;
    peer->tlsFailure = controlTlsFailure;
    peer->tlsStall = controlTlsStall;
    peer->onReceive = [this, p = peer.get()] {
        if (control.get() == p) received();
    };
    if (multiLineGreeting)
        reply("220-Welcome\r\n220-to the test server\r\n220 Ready.");
    else
        reply("220 Ready.");
}

std::function<std::string(const std::string&)> FakeFtpServer::retrAs(const std::string& name, Transfer t) {
    return [this, name, t](const std::string& line) -> std::string {
        if (line != "RETR " + name) return "";
        auto d = plat_.connectTo(dataPort_);
        reply(t.start);
        d->send(t.data);
        if (t.reset)
            d->reset(t.resetNumber);
        else
            d->close();
        reply(t.end);
        if (t.then) t.then();
        return "-";
    };
}

void FakeFtpServer::reply(const std::string& text) {
    if (control) control->send(text + "\r\n");
}

void FakeFtpServer::received() {
    buffer_ += control->takeReceived();
    std::size_t e;
    while ((e = buffer_.find("\r\n")) != std::string::npos) {
        std::string line = buffer_.substr(0, e);
        buffer_.erase(0, e + 2);
        commands.push_back(line);
        if (storing_) {
            ++commandsDuringStore;
            if (refuseDuringStore) {
                reply("500 Unknown command.");
                continue;
            }
        }
        if (override) {
            std::string r = override(line);
            if (!r.empty()) {
                if (r != "-") reply(r);
                continue;
            }
        }
        handle(line);
    }
}

std::shared_ptr<Peer> FakeFtpServer::openData() {
    if (data_ && data_->open()) return data_;
    if (passive_) return nullptr;  // the program had to connect, and did not
    data_ = plat_.connectTo(dataPort_);
    return data_;
}

std::string FakeFtpServer::listing(const std::string& arg, bool longFormat) const {
    std::vector<std::string> patterns;
    std::size_t start = 0;
    while (start <= arg.size()) {
        std::size_t sp = arg.find(' ', start);
        if (sp == std::string::npos) sp = arg.size();
        if (sp > start) patterns.push_back(arg.substr(start, sp - start));
        start = sp + 1;
    }
    std::string out;
    for (auto& [name, content] : files) {
        bool match = patterns.empty() || !expandWildcards;
        for (auto& p : patterns)
            if (platform::files::wildcardMatch(p, name)) match = true;
        if (!match) continue;
        if (longFormat)
            out += "-rw-r--r--   1 u        u        " + std::to_string(content.size()) + " Dec 07 04:00 " + name +
                   "\r\n";
        else
            out += name + "\r\n";
    }
    return out;
}

void FakeFtpServer::handle(const std::string& line) {
    std::string cmd = line.substr(0, line.find(' '));
    std::string arg = line.size() > cmd.size() + 1 ? line.substr(cmd.size() + 1) : "";
    cmd = toUpperAscii(cmd);
    if (cmd == "AUTH") {
        if (control && tls)
            control->send("234 Proceed with negotiation.\r\n" + afterAuth);
        else
            reply("502 AUTH not understood.");
        return;
    }
    if (cmd == "PBSZ" || cmd == "PROT") {
        if (cmd == "PROT") protP_ = arg == "P";
        reply("200 " + cmd + " set.");
        return;
    }
    if ((cmd == "NLST" || cmd == "LIST" || cmd == "RETR" || cmd == "STOR") && protP_ && passive_) {
        if (refuseDataTls && (cmd == "RETR" || cmd == "STOR")) {
            reply("522 SSL connection failed: session reuse required");
            return;
        }
        if (data_ && !(data_->tlsStarted && data_->tlsResumed)) dataWasSecure = false;
    }
    if (cmd == "USER") {
        pendingUser_ = arg;
        reply("331 Username ok, send password.");
    } else if (cmd == "PASS") {
        if (pendingUser_ == user && arg == password) {
            loggedIn_ = true;
            reply("230 Login successful.");
        } else {
            reply("530 Authentication failed.");
        }
    } else if (!loggedIn_) {
        reply("530 Log in with USER and PASS first.");
    } else if (cmd == "CWD") {
        reply(arg == "/missing" ? "550 No such directory." : "250 \"" + arg + "\" is the current directory.");
    } else if (cmd == "PWD") {
        reply("257 \"/\" is the current directory.");
    } else if (cmd == "TYPE") {
        reply("200 Type set.");
    } else if (cmd == "PORT") {
        std::vector<int> n;
        std::size_t s = 0;
        while (s <= arg.size()) {
            std::size_t c = arg.find(',', s);
            if (c == std::string::npos) c = arg.size();
            n.push_back(std::atoi(arg.substr(s, c - s).c_str()));
            s = c + 1;
        }
        dataPort_ = n.size() == 6 ? n[4] * 256 + n[5] : 0;
        data_.reset();
        passive_ = false;
        if (connectAtPort) openData();
        reply("200 Active data connection established.");
    } else if (cmd == "EPRT") {
        if (refuseEprt) {
            reply("500 EPRT not understood.");
            return;
        }
        // |proto|address|port|
        std::size_t last = arg.rfind('|', arg.size() >= 2 ? arg.size() - 2 : 0);
        dataPort_ = last == std::string::npos ? 0 : std::atoi(arg.substr(last + 1).c_str());
        data_.reset();
        passive_ = false;
        reply("200 EPRT command successful.");
    } else if (cmd == "EPSV" || cmd == "PASV") {
        if (cmd == "EPSV" && refuseEpsv) {
            reply("500 Unknown command.");
            return;
        }
        const std::int32_t port = nextPassivePort_++;
        data_.reset();
        passive_ = true;
        if (++passiveCount_ != refusePassiveAt)
            plat_.addServer(port, [this](std::shared_ptr<Peer> peer) {
                peer->tlsFailure = dataTlsFailure;
                data_ = std::move(peer);
            });
        if (cmd == "EPSV")
            reply("229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)");
        else
            reply("227 Entering Passive Mode (" + pasvAddress + "," + std::to_string(port / 256) + "," +
                  std::to_string(port % 256) + ").");
    } else if (cmd == "NLST" || cmd == "LIST") {
        std::string text = cmd == "LIST" && patternListEmpty && !arg.empty() ? "" : listing(arg, cmd == "LIST");
        if (listDots) text = (cmd == "LIST" ? "" : ".\r\n..\r\n") + text;
        if (text.empty() && expandWildcards && !arg.empty() && !patternListEmpty) {
            reply("450 No files found.");
            return;
        }
        auto d = openData();
        if (!d) {
            reply("425 Can't open data connection.");
            return;
        }
        reply("150 Here comes the listing.");
        d->send(text);
        if (finalAfterClose) {
            // Like servers that close and then wait for the client's close
            // before they answer.
            d->onClosedByProgram = [this] { reply("226 Transfer complete."); };
            d->close();
            return;
        }
        d->close();
        reply("226 Transfer complete.");
    } else if (cmd == "REST") {
        reply("350 Restarting at " + arg + ".");
    } else if (cmd == "RETR") {
        auto it = files.find(arg);
        if (it == files.end()) {
            reply("550 No such file.");
            return;
        }
        auto d = openData();
        if (!d) {
            reply("425 Can't open data connection.");
            return;
        }
        std::string start = announceSize
                                ? "150 Opening BINARY mode data connection for " + arg + " (" +
                                      std::to_string(it->second.size()) + " bytes)."
                                : "125 Data connection already open. Transfer starting.";
        if (repliesTogether) {
            d->send(it->second);
            d->close();
            control->send(start + "\r\n226 Transfer complete.\r\n");
        } else {
            reply(start);
            d->send(it->second);
            d->close();
            reply("226 Transfer complete.");
        }
    } else if (cmd == "STOR") {
        if (refuseStor) {
            reply("550 Permission denied.");
            return;
        }
        auto d = openData();
        if (!d) {
            reply("425 Can't open data connection.");
            return;
        }
        stored[arg].clear();
        if (twoPreliminaries) reply("150 Connecting to port " + std::to_string(dataPort_));
        reply("150 Ok to send data.");
        storing_ = true;
        std::weak_ptr<Peer> weak = d;
        auto name = arg;
        d->onReceive = [this, weak, name] {
            if (auto p = weak.lock()) stored[name] += p->takeReceived();
        };
        // The transfer ends when the program closes the data connection.
        d->onClosedByProgram = [this, weak, name] {
            if (auto p = weak.lock()) stored[name] += p->takeReceived();
            storing_ = false;
            if (storeReplyDelayMs <= 0) {
                reply("226 Transfer complete.");
                return;
            }
            auto& t = delays_.emplace_back(plat_.makeTimer());
            t->setInterval(storeReplyDelayMs);
            t->onTick = [this, tp = t.get()] {
                tp->setEnabled(false);
                reply("226 Transfer complete.");
            };
            t->setEnabled(true);
        };
    } else if (cmd == "DELE") {
        if (files.erase(arg))
            reply("250 File removed.");
        else
            reply("550 No such file.");
    } else if (cmd == "QUIT") {
        reply("221 Goodbye.");
        control->close();
    } else {
        reply("502 Command not implemented.");
    }
}

}  // namespace corvantel::testing
