#include "support/fake_ftp_server.h"

#include "platform/digest.h"

#include "app/text.h"
#include "platform/files.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace corvantel::testing {

using platform::fake::Peer;
using Shape = FakeFtpServer::Shape;

FakeFtpServer::FakeFtpServer(platform::fake::FakePlatform& plat, std::int32_t port) : plat_(plat) {
    plat.addServer(port, [this](std::shared_ptr<Peer> peer) { arrived(std::move(peer)); });
}

FakeFtpServer::FakeFtpServer(FakeFtpServer& root) : plat_(root.plat_), root_(&root) {}

FakeFtpServer::~FakeFtpServer() = default;

void FakeFtpServer::arrived(std::shared_ptr<Peer> peer) {
    if (maxConnections <= 0) {
        // One connection: a new one takes the place of the last.
        sessions = sessionOf ? sessionOf() : sessions + 1;
        session_ = sessions;
        ordinal_ = 1;
        accepted(std::move(peer));
        return;
    }
    auto live = [](const FakeFtpServer& s) { return s.control && s.control->open(); };
    int open = live(*this) ? 1 : 0;
    for (auto& c : children_) open += live(*c) ? 1 : 0;
    if (open >= maxConnections) {
        // Over the limit: refused at the greeting, as servers do.
        ++refusedConnections;
        peer->send("421 Too many connections from your address.\r\n");
        peer->close();
        return;
    }
    // A session begins when no connection is open; the others join it.
    if (sessionOf) sessions = sessionOf();
    else if (open == 0) ++sessions;
    mostOpen = std::max(mostOpen, open + 1);
    FakeFtpServer* on = live(*this) ? nullptr : this;
    for (std::size_t i = 0; i < children_.size() && !on; ++i)
        if (!live(*children_[i])) on = children_[i].get();
    if (!on) {
        children_.push_back(std::unique_ptr<FakeFtpServer>(new FakeFtpServer(*this)));
        on = children_.back().get();
    }
    if (sessions != arrivalsSession_) arrivals_ = 0;
    arrivalsSession_ = sessions;
    on->session_ = sessions;
    on->ordinal_ = ++arrivals_;
    on->accepted(std::move(peer));
}

void FakeFtpServer::accepted(std::shared_ptr<Peer> peer) {
    ++generation_;
    control = peer;
    buffer_.clear();
    queue_.clear();
    busy_ = blocked_ = false;
    outbox_.clear();
    holding_ = 0;
    loggedIn_ = false;
    protP_ = false;
    storing_ = false;
    rest_ = 0;
    epsvCount_ = 0;
    typeA_ = true;
    peer->tlsFailure = r().controlTlsFailure;
    peer->tlsStall = r().controlTlsStall;
    peer->onReceive = [this, p = peer.get()] {
        if (control.get() == p) received();
    };
    const std::string greeting = r().multiLineGreeting ? "220-Welcome\r\n220-to the test server\r\n220 Ready."
                                 : r().replyStyle == 3  ? "220 FTP server (Version 2.1 (226)) ready, 0 denied, done."
                                                    : "220 Ready.";
    if (r().login == 4) {
        // Busy a moment: "120" first, the greeting a little later.
        reply("120 Service ready in 1 minutes (0 invalid).");
        later(300, [this, greeting] { reply(greeting); });
        return;
    }
    reply(greeting);
}

std::string FakeFtpServer::styled(const std::string& kind, const std::string& name, std::int64_t told) const {
    const std::string size = " (" + std::to_string(told) + " bytes).";
    if (kind == "retr") {
        switch (r().replyStyle) {
            case 1: return "125 Sending data set /u/" + name + " FIXrecfm 128";
            case 2:
                return told >= 0 ? "150-Accepted data connection\r\n150 Opening BINARY mode data connection for " + name + size
                                 : "125-Data connection already open\r\n125 Transfer starting.";
            case 3:
                return told >= 0 ? "150 Opening BINARY mode data connection for \"" + name + "\" (0 denied, 1 invalid)" + size
                                 : "125 Transfer of \"" + name + "\" starting (530 done).";
            default:
                return told >= 0 ? "150 Opening BINARY mode data connection for " + name + size
                                 : "125 Data connection already open. Transfer starting.";
        }
    }
    if (kind == "list") {
        switch (r().replyStyle) {
            case 1: return "125 List started OK";
            case 2: return "150-Here comes\r\n150 the directory listing.";
            case 3: return "150 Opening ASCII mode data connection for file list (226 bytes).";
            default: return "150 Here comes the listing.";
        }
    }
    if (kind == "stor") {
        switch (r().replyStyle) {
            case 1: return "125 Storing data set /u/" + name;
            case 2: return "150-Ok\r\n150 to send data.";
            case 3: return "150 Ok to send \"" + name + "\" (0 bytes stored, 530 denied).";
            default: return "150 Ok to send data.";
        }
    }
    switch (r().replyStyle) {
        case 1: return kind == "endlist" ? "250 List completed successfully." : "250 Transfer completed successfully.";
        case 2: return "226-File successfully transferred\r\n226 0.001 seconds (measured here), 3.17 Mbytes per second";
        case 3: return "226 Transfer done (0 invalid, 0 denied, 530 retries).";
        default: return "226 Transfer complete.";
    }
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

void FakeFtpServer::sendRaw(const std::string& bytes) {
    FakeFtpServer* on = r().current_ ? r().current_ : this;
    if (on->control) on->control->send(bytes);
}

void FakeFtpServer::emit(const std::string& bytes) {
    if (r().wire) {
        // The simulator's wire sends through sendRaw: on this connection.
        r().current_ = this;
        r().wire(bytes);
        r().current_ = nullptr;
    } else {
        sendRaw(bytes);
    }
}

void FakeFtpServer::flush() {
    if (outbox_.empty()) return;
    std::string out;
    out.swap(outbox_);
    emit(out);
}

void FakeFtpServer::reply(const std::string& text) {
    if (!control) return;
    if (r().coalesce && holding_ > 0)
        outbox_ += text + "\r\n";
    else
        emit(text + "\r\n");
}

void FakeFtpServer::finalReply(const std::string& text) {
    reply(text);
    afterFinal();
}

void FakeFtpServer::afterFinal() {
    const auto what = after_;
    after_ = Shape::Control::Stay;
    if (what == Shape::Control::Stay || !afterOn_) return;
    flush();
    auto end = [what, peer = afterOn_] {
        if (what == Shape::Control::CloseAfter || what == Shape::Control::CloseBefore)
            peer->close();
        else
            peer->reset();
    };
    if (afterMs_ > 0 && (what == Shape::Control::CloseAfter || what == Shape::Control::ResetAfter))
        later(afterMs_, end);
    else
        end();
}

void FakeFtpServer::later(int ms, std::function<void()> fn) {
    auto& t = delays_.emplace_back(plat_.makeTimer());
    t->setInterval(std::max(ms, 1));
    t->onTick = [tp = t.get(), fn, gen = generation_, this] {
        tp->setEnabled(false);
        if (gen == generation_) fn();
    };
    t->setEnabled(true);
}

void FakeFtpServer::holdOn(std::shared_ptr<Peer> peer, int everyMs, int n) {
    later(everyMs, [this, peer, everyMs, n] {
        if (control != peer || !peer->open()) return;
        emit(n % 2 == 0 ? "100 Still counting.\r\n" : "Still counting.\r\n");
        holdOn(peer, everyMs, n + 1);
    });
}

void FakeFtpServer::flood(std::shared_ptr<Peer> peer, int lines, int piece) {
    if (control != peer || !peer->open()) return;
    const int n = lines / 8 + (piece < lines % 8 ? 1 : 0);
    std::string out;
    for (int i = 0; i < n; ++i) out += "Still working\r\n";
    if (!out.empty()) {
        flush();
        emit(out);
    }
    if (piece < 7) later(100, [this, peer, lines, piece] { flood(peer, lines, piece + 1); });
}

void FakeFtpServer::play(std::vector<Step> steps) {
    runSteps(std::make_shared<std::vector<Step>>(std::move(steps)), 0);
}

void FakeFtpServer::runSteps(std::shared_ptr<std::vector<Step>> steps, std::size_t i) {
    ++holding_;
    for (; i < steps->size(); ++i) {
        if ((*steps)[i].delayMs > 0) {
            // The rest comes later; meanwhile the server handles nothing.
            const int ms = (*steps)[i].delayMs;
            (*steps)[i].delayMs = 0;
            busy_ = true;
            later(ms, [this, steps, i] { runSteps(steps, i); });
            --holding_;
            flush();
            return;
        }
        (*steps)[i].fn();
    }
    --holding_;
    flush();
    if (busy_) {
        busy_ = false;
        pump();
    }
}

void FakeFtpServer::received() {
    buffer_ += control->takeReceived();
    std::size_t e;
    while ((e = buffer_.find("\r\n")) != std::string::npos) {
        std::string line = buffer_.substr(0, e);
        buffer_.erase(0, e + 2);
        r().commands.push_back(line);
        if (storing_) {
            ++r().commandsDuringStore;
            if (r().refuseDuringStore) {
                reply("500 Unknown command.");
                continue;
            }
        }
        queue_.push_back(line);
    }
    pump();
}

void FakeFtpServer::pump() {
    while (!busy_ && !blocked_ && !queue_.empty()) {
        std::string line = queue_.front();
        queue_.pop_front();
        Shape shape;
        r().speaking = session_;
        r().speakingConnection = ordinal_;
        if (r().shaping) r().shaping(line, shape);
        if (shape.delayMs > 0) {
            busy_ = true;
            later(shape.delayMs, [this, line, shape] {
                busy_ = false;
                process(line, shape);
                pump();
            });
            return;
        }
        process(line, shape);
    }
}

void FakeFtpServer::process(const std::string& line, const Shape& shape) {
    after_ = shape.control;
    afterMs_ = shape.controlAfterMs;
    afterOn_ = control;
    if (shape.silent) return;
    if (shape.holdEveryMs > 0) {
        holdOn(control, shape.holdEveryMs, 0);
        return;
    }
    if (shape.control == Shape::Control::CloseBefore || shape.control == Shape::Control::ResetBefore) {
        afterFinal();
        return;
    }
    ++holding_;
    struct Release {
        FakeFtpServer& s;
        ~Release() {
            --s.holding_;
            s.flush();
        }
    } release{*this};
    if (r().override) {
        std::string answer = r().override(line);
        if (!answer.empty()) {
            if (answer != "-") reply(answer);
            afterFinal();
            return;
        }
    }
    if (!shape.refuse.empty()) {
        if (shape.refuse == "421") after_ = Shape::Control::CloseAfter;
        finalReply(shape.refuse + " Refused.");
        return;
    }
    handle(line, shape);
    if (shape.floodLines > 0) flood(control, shape.floodLines, 0);
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
    for (auto& [name, content] : r().files) {
        bool match = patterns.empty() || !r().expandWildcards;
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

// The steps of a transfer from the server: its preliminary reply, the data
// in pieces, the end of the data connection and the final reply, in the
// order the shape asks for.
static std::vector<FakeFtpServer::Step> transferSteps(std::function<void()> prelim, std::vector<std::function<void()>> data,
                                                      std::function<void()> end, std::function<void()> final,
                                                      const Shape& shape) {
    std::vector<FakeFtpServer::Step> pre{{0, prelim}}, fin{{0, final}}, dat;
    for (std::size_t i = 0; i < data.size(); ++i) dat.push_back({i == 0 ? 0 : shape.trickleMs, data[i]});
    dat.push_back({shape.trickleMs, end});
    std::vector<FakeFtpServer::Step> out;
    auto add = [&](const std::vector<FakeFtpServer::Step>& v) { out.insert(out.end(), v.begin(), v.end()); };
    switch (shape.order) {
        case Shape::Order::Between:
            add(pre), add(dat), add(fin);
            break;
        case Shape::Order::First:
            add(dat), add(pre), add(fin);
            break;
        case Shape::Order::After:
            add(pre), add(fin), add(dat);
            break;
    }
    return out;
}

static std::vector<std::string> pieces(const std::string& bytes, int n) {
    std::vector<std::string> out;
    n = std::max(1, n);
    const std::size_t step = bytes.size() / static_cast<std::size_t>(n) + 1;
    for (std::size_t b = 0; b < bytes.size(); b += step) out.push_back(bytes.substr(b, step));
    if (out.empty()) out.push_back("");
    return out;
}

void FakeFtpServer::retrieve(const std::string& name, const std::string& content, const Shape& shape) {
    auto d = openData();
    if (!d) {
        finalReply("425 Can't open data connection.");
        return;
    }
    std::int64_t told = static_cast<std::int64_t>(content.size());
    if (!r().announceSize || shape.size == Shape::Size::Untold || r().replyStyle == 1) told = -1;
    std::string bytes = content;
    if (r().asciiConverts && typeA_) {
        bytes.clear();
        for (char c : content) bytes += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    const std::string sent = bytes;
    if (shape.dataBytes >= 0) {
        const auto n = static_cast<std::size_t>(shape.dataBytes);
        bytes = n <= sent.size() ? sent.substr(0, n) : sent + std::string(n - sent.size(), '#');
    }
    // A wrong size is one larger than what comes.
    if (shape.size == Shape::Size::Wrong && r().replyStyle != 1) told = static_cast<std::int64_t>(bytes.size()) + 1 + told / 3;
    const std::string start = styled("retr", name, told);
    r().attempts.push_back({name, bytes, told, shape.dataEnd == Shape::DataEnd::Close, session_});
    if (r().repliesTogether && shape.order == Shape::Order::Between && shape.trickleMs == 0) {
        d->send(bytes);
        d->close();
        reply(start);
        finalReply(styled("end", name, 0));
        return;
    }
    playTransfer(d, bytes, 4,
                 [this, start, shape] {
                     reply(start);
                     if (shape.secondPreliminary) reply("150 Here it comes again.");
                 },
                 "Transfer aborted.", shape, "end");
}

void FakeFtpServer::playTransfer(std::shared_ptr<Peer> d, const std::string& bytes, int count,
                                 std::function<void()> prelim, const std::string& aborted, const Shape& shape,
                                 const std::string& endKind) {
    std::vector<std::function<void()>> data;
    for (auto& piece : pieces(bytes, shape.trickleMs > 0 ? count : 1)) data.push_back([d, piece] { d->send(piece); });
    play(transferSteps(
        std::move(prelim), data,
        [d, shape] {
            if (shape.dataEnd == Shape::DataEnd::Close) d->close();
            if (shape.dataEnd == Shape::DataEnd::Reset) d->reset();
        },
        [this, shape, aborted, endKind] {
            if (shape.noFinal) return afterFinal();
            finalReply(shape.finish.empty() ? styled(endKind, "", 0) : shape.finish + " " + aborted);
        },
        shape));
}

// FEAT, SIZE, MDTM and the checksum r().commands; false for any other command.
bool FakeFtpServer::proofCommand(const std::string& cmd, const std::string& arg) {
    using platform::HashKind;
    if (cmd == "FEAT") {
        if (r().features.empty()) return false;
        std::string text = "211-Features:\r\n";
        for (auto& f : r().features) text += " " + f + "\r\n";
        finalReply(text + "211 End");
        return true;
    }
    static const std::map<std::string, HashKind> x = {{"XCRC", HashKind::Crc32},   {"XMD5", HashKind::Md5},
                                                      {"XSHA1", HashKind::Sha1},   {"XSHA256", HashKind::Sha256},
                                                      {"XSHA512", HashKind::Sha512}};
    static const std::map<std::string, HashKind> named = {{"CRC32", HashKind::Crc32},     {"MD5", HashKind::Md5},
                                                          {"SHA-1", HashKind::Sha1},      {"SHA-256", HashKind::Sha256},
                                                          {"SHA-512", HashKind::Sha512}};
    if (cmd == "OPTS" && toUpperAscii(arg).rfind("HASH ", 0) == 0 && named.count(arg.substr(5))) {
        hashAlgorithm_ = arg.substr(5);
        finalReply("200 " + hashAlgorithm_);
        return true;
    }
    if (cmd != "SIZE" && cmd != "MDTM" && cmd != "HASH" && !x.count(cmd)) return false;
    const std::string* content = nullptr;
    if (auto it = r().files.find(arg); it != r().files.end()) content = &it->second;
    else if (auto st = r().stored.find(arg); st != r().stored.end() && !storing_) content = &st->second;
    if (!content) {
        finalReply("550 " + arg + ": No such file.");
        return true;
    }
    if (cmd == "SIZE") {
        finalReply("213 " + std::to_string(static_cast<std::int64_t>(content->size()) + r().sizeSkew));
    } else if (cmd == "MDTM") {
        finalReply("213 " + (r().mdtm.count(arg) ? r().mdtm[arg] : std::string("20000101000000")));
    } else {
        platform::Digest d;
        d.start(cmd == "HASH" ? named.at(hashAlgorithm_) : x.at(cmd));
        d.update(*content);
        std::string sum = d.hex();
        if (r().checksumLie) sum[0] = sum[0] == '0' ? '1' : '0';
        if (cmd == "HASH")
            finalReply("213 " + hashAlgorithm_ + " 0-" + std::to_string(content->size()) + " " + sum + " " + arg);
        else
            finalReply("250 " + sum);
    }
    return true;
}

void FakeFtpServer::handle(const std::string& line, const Shape& shape) {
    std::string cmd = line.substr(0, line.find(' '));
    std::string arg = line.size() > cmd.size() + 1 ? line.substr(cmd.size() + 1) : "";
    cmd = toUpperAscii(cmd);
    if (cmd == "AUTH") {
        if (control && r().tls) {
            // Anything a server sends behind its 234 comes in the same piece.
            flush();
            control->send("234 Proceed with negotiation.\r\n" + r().afterAuth);
            afterFinal();
        } else {
            finalReply("502 AUTH not understood.");
        }
        return;
    }
    if (cmd == "PBSZ" || cmd == "PROT") {
        if (cmd == "PROT") protP_ = arg == "P";
        finalReply("200 " + cmd + " set.");
        return;
    }
    if ((cmd == "NLST" || cmd == "LIST" || cmd == "RETR" || cmd == "STOR") && protP_ && passive_) {
        if (r().refuseDataTls && (cmd == "RETR" || cmd == "STOR")) {
            finalReply("522 SSL connection failed: session reuse required");
            return;
        }
        if (data_ && !(data_->tlsStarted && data_->tlsResumed)) r().dataWasSecure = false;
    }
    if (cmd == "USER") {
        pendingUser_ = arg;
        if (r().userLogsIn || ((r().login == 2 || r().login == 3) && arg == r().user)) {
            // No r().password asked: the r().user is in at once.
            loggedIn_ = true;
            finalReply(r().userLogsIn ? "230 Anonymous access granted, restrictions apply." : "230 User logged in, proceed.");
        } else {
            finalReply(r().login == 1 ? "331 Password required for \"" + arg + "\" (0 incorrect, 530 denied)."
                                  : "331 Username ok, send password.");
        }
    } else if (cmd == "PASS" && loggedIn_) {
        finalReply(r().login == 3 ? "230 Already logged in." : "503 Already logged in.");
    } else if (cmd == "PASS") {
        if (pendingUser_ == r().user && arg == r().password) {
            loggedIn_ = true;
            if (r().login == 1)
                finalReply("230-Welcome\r\n230-Quota: 0 bytes used (0 denied)\r\n230 User logged in, 0 invalid attempts.");
            else
                finalReply(r().loginText.empty() ? "230 Login successful." : r().loginText);
        } else {
            finalReply("530 Authentication failed.");
        }
    } else if (!loggedIn_) {
        finalReply("530 Log in with USER and PASS first.");
    } else if (cmd == "CWD") {
        finalReply(arg == "/missing"      ? "550 No such directory."
                   : r().replyStyle == 3      ? "250 CWD command done, \"" + arg + "\" (530 denied) is current directory."
                                          : "250 \"" + arg + "\" is the current directory.");
    } else if (cmd == "PWD") {
        finalReply("257 \"/\" is the current directory.");
    } else if (cmd == "TYPE") {
        const std::string t = toUpperAscii(arg);
        if (t == "A" || t.rfind("A ", 0) == 0) typeA_ = true;
        if (t == "I" || t == "L 8") typeA_ = false;
        finalReply(r().replyStyle == 3 ? "200 Type set to " + arg + " (226 done, 0 invalid)." : "200 Type set.");
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
        if (r().connectAtPort) openData();
        finalReply("200 Active data connection established.");
    } else if (cmd == "EPRT") {
        if (r().refuseEprt) {
            finalReply("500 EPRT not understood.");
            return;
        }
        // |proto|address|port|
        std::size_t last = arg.rfind('|', arg.size() >= 2 ? arg.size() - 2 : 0);
        dataPort_ = last == std::string::npos ? 0 : std::atoi(arg.substr(last + 1).c_str());
        data_.reset();
        passive_ = false;
        if (r().connectAtPort) openData();
        finalReply("200 EPRT command successful.");
    } else if (cmd == "EPSV" || cmd == "PASV") {
        const Epsv how = cmd == "EPSV" && ++epsvCount_ >= r().epsvFailsFrom ? r().epsv : Epsv::Works;
        if (how == Epsv::Refused) {
            if (r().epsvCode == "421") after_ = Shape::Control::CloseAfter;
            finalReply(r().epsvCode + " EPSV not allowed.");
            return;
        }
        if (how == Epsv::Malformed) {
            static const char* const forms[] = {"(||%|)", "(|||)", "%", "(|||%)"};
            std::string form = forms[malformedCount_++ % 4];
            if (auto at = form.find('%'); at != std::string::npos) form.replace(at, 1, std::to_string(r().nextPassivePort_));
            finalReply("229 Entering Extended Passive Mode " + form);
            return;
        }
        const std::int32_t port = r().nextPassivePort_++;
        data_.reset();
        passive_ = true;
        const bool listening = ++passiveCount_ != r().refusePassiveAt && how != Epsv::ClosedPort;
        if (listening)
            plat_.addServer(port, [this, gen = generation_](std::shared_ptr<Peer> peer) {
                if (gen != generation_) return;
                peer->tlsFailure = r().dataTlsFailure;
                data_ = std::move(peer);
                if (blocked_) {
                    blocked_ = false;
                    pump();
                }
            });
        if (cmd == "EPSV")
            finalReply("229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)");
        else
            finalReply("227 Entering Passive Mode (" + r().pasvAddress + "," + std::to_string(port / 256) + "," +
                       std::to_string(port % 256) + ").");
        // Blocked until the program connects; not where nothing can accept
        // (as such a server's accept times out).
        if (r().blockAfterPassive && listening) blocked_ = true;
    } else if (cmd == "NLST" || cmd == "LIST") {
        std::string text = cmd == "LIST" && r().patternListEmpty && !arg.empty() ? "" : listing(arg, cmd == "LIST");
        if (r().listDots) text = (cmd == "LIST" ? "" : ".\r\n..\r\n") + text;
        if (text.empty() && r().expandWildcards && !arg.empty() && !r().patternListEmpty) {
            finalReply("450 No files found.");
            return;
        }
        if (r().listingConnectsLate && !passive_) {
            // Active mode: the listing's 150 and 226 go out first, and its
            // data connection comes a moment later.
            reply(styled("list", "", 0));
            finalReply(styled("endlist", "", 0));
            later(50, [this, text] {
                if (auto d = plat_.connectTo(dataPort_)) {
                    d->send(text);
                    d->close();
                }
            });
            return;
        }
        auto d = openData();
        if (!d) {
            finalReply("425 Can't open data connection.");
            return;
        }
        if (shape.dataBytes >= 0) text = text.substr(0, static_cast<std::size_t>(shape.dataBytes));
        if (r().finalAfterClose) {
            // Like servers that close and then wait for the client's close
            // before they answer.
            reply(styled("list", "", 0));
            d->send(text);
            d->onClosedByProgram = [this] { finalReply(styled("endlist", "", 0)); };
            d->close();
            return;
        }
        playTransfer(d, text, 3, [this] { reply(styled("list", "", 0)); }, "Aborted.", shape, "endlist");
    } else if (cmd == "REST") {
        rest_ = static_cast<std::size_t>(std::atoll(arg.c_str()));
        finalReply("350 Restarting at " + arg + ".");
    } else if (proofCommand(cmd, arg)) {
    } else if (cmd == "RETR") {
        auto it = r().files.find(arg);
        std::size_t from = std::exchange(rest_, 0);
        if (it == r().files.end()) {
            finalReply("550 No such file.");
            return;
        }
        if (from > 0 && r().restRefusedAtRetr) {
            finalReply("451 Restart not permitted.");
            return;
        }
        if (r().restIgnored) from = 0;
        retrieve(arg, it->second.substr(std::min(from, it->second.size())), shape);
    } else if (cmd == "STOR" || cmd == "APPE") {
        if (r().refuseStor || (cmd == "APPE" && r().refuseAppe)) {
            finalReply(cmd == "APPE" && r().refuseAppe ? "502 Command not implemented." : "550 Permission denied.");
            return;
        }
        auto d = openData();
        if (!d) {
            finalReply("425 Can't open data connection.");
            return;
        }
        // A server that never renames over a file stores over none either
        // (after REST too); APPE adds to one.
        if (cmd == "STOR" && r().renames == Renames::NotOver && r().stored.count(arg)) {
            rest_ = 0;
            return finalReply("550 Overwrite permission denied.");
        }
        // STOR after REST n keeps the first n bytes; APPE keeps them all.
        auto& kept = r().stored[arg];
        const std::size_t from = std::exchange(rest_, 0);
        if (cmd == "STOR") kept.resize(from > 0 && !r().restIgnored ? std::min(from, kept.size()) : 0);
        const std::size_t base = kept.size();
        if (r().storedChanged) r().storedChanged(arg);
        if (r().twoPreliminaries || shape.secondPreliminary) reply("150 Connecting to port " + std::to_string(dataPort_));
        reply(styled("stor", arg, 0));
        storing_ = true;
        std::weak_ptr<Peer> weak = d;
        auto name = arg;
        const auto control = after_;
        after_ = Shape::Control::Stay;
        auto finish = [this, name, shape, control](const std::string& text) {
            storing_ = false;
            after_ = control;
            afterOn_ = this->control;
            if (r().storedChanged) r().storedChanged(name);
            if (shape.noFinal) return afterFinal();
            finalReply(text);
            if (r().storeEnded && text[0] == '2') r().storeEnded(name);
        };
        // A server that cuts the store short: after dataBytes bytes it
        // closes or resets the data connection and answers with an error.
        const bool cut = shape.dataBytes >= 0 && shape.dataEnd != Shape::DataEnd::Never;
        d->onReceive = [this, weak, name, shape, cut, finish, base] {
            auto p = weak.lock();
            if (!p || !storing_) return;
            r().stored[name] += p->takeReceived();
            if (r().storedChanged) r().storedChanged(name);
            if (cut && r().stored[name].size() >= base + static_cast<std::size_t>(shape.dataBytes)) {
                r().stored[name].resize(base + static_cast<std::size_t>(shape.dataBytes));
                if (shape.dataEnd == Shape::DataEnd::Reset)
                    p->reset();
                else
                    p->close();
                finish("426 Connection closed; transfer aborted.");
            }
        };
        // The transfer ends when the program closes the data connection.
        d->onClosedByProgram = [this, weak, name, shape, finish] {
            if (!storing_) return;
            if (auto p = weak.lock()) r().stored[name] += p->takeReceived();
            r().stored[name].resize(r().stored[name].size() - std::min(r().storeDrops, r().stored[name].size()));
            const std::string text = shape.finish.empty() ? styled("end", name, 0) : shape.finish + " Failed.";
            if (r().storeReplyDelayMs <= 0 && shape.trickleMs <= 0) {
                finish(text);
                return;
            }
            storing_ = false;
            later(std::max(r().storeReplyDelayMs, shape.trickleMs), [finish, text] { finish(text); });
        };
    } else if (cmd == "DELE") {
        if (r().files.erase(arg) || r().stored.erase(arg)) {
            if (r().storedChanged) r().storedChanged(arg);
            finalReply(r().replyStyle == 3 ? "250 DELE done (0 denied)." : "250 File removed.");
        } else {
            finalReply("550 No such file.");
        }
    } else if (cmd == "RNFR") {
        using R = Renames;
        if (r().renames == R::Never) return finalReply("502 Command not implemented.");
        if (r().renames == R::Denied) return finalReply("550 Permission denied.");
        if (!r().stored.count(arg)) return finalReply("550 No such file.");
        renameFrom_ = arg;
        finalReply("350 Ready for RNTO.");
    } else if (cmd == "RNTO") {
        const std::string from = std::exchange(renameFrom_, std::string());
        if (from.empty() || !r().stored.count(from)) return finalReply("503 RNFR first.");
        if (r().renames == Renames::RntoDenied) return finalReply("550 Permission denied.");
        if (r().renames == Renames::NotOver && r().stored.count(arg)) return finalReply("553 Rename failed.");
        std::string moved = std::move(r().stored[from]);
        r().stored.erase(from);
        r().stored[arg] = std::move(moved);
        if (r().storedChanged) r().storedChanged(from), r().storedChanged(arg);
        finalReply("250 Rename successful.");
    } else if (cmd == "QUIT") {
        finalReply("221 Goodbye.");
        control->close();
    } else {
        finalReply("502 Command not implemented.");
    }
}

}  // namespace corvantel::testing
