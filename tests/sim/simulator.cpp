#include "sim/simulator.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <tuple>

#include "app/app_state.h"
#include "app/text.h"
#include "app/verify.h"
#include "download/session.h"
#include "platform/fake/fake_platform.h"
#include "platform/files.h"
#include "program/program.h"
#include "schedule/schedule.h"
#include "support/app_fixture.h"
#include "support/fake_ftp_server.h"
#include "upload/session.h"

namespace corvantel::sim {

namespace {

using Shape = testing::FakeFtpServer::Shape;
namespace files = platform::files;

struct Rng {
    std::uint64_t x;
    explicit Rng(std::uint64_t seed) : x(seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull) {}
    std::uint64_t next() {
        std::uint64_t z = (x += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int below(int n) { return n <= 0 ? 0 : static_cast<int>(next() % static_cast<std::uint64_t>(n)); }
    bool chance(int percent) { return below(100) < percent; }
    template <typename T>
    const T& pick(const std::vector<T>& v) { return v[static_cast<std::size_t>(below(static_cast<int>(v.size())))]; }
};

const char* const faultNames[] = {"Refuse",     "Finish",    "SizeUntold", "SizeWrong",    "DataShort",
                                  "DataLong",   "DataReset", "DataNever",  "DataFirst",    "DataAfter",
                                  "Trickle",    "SecondPrelim", "NoFinal", "CloseBefore", "ResetBefore", "CloseAfter",
                                  "ResetAfter", "Delay",     "Silent",     "Hold",         "Flood",
                                  "Lost",       "LostAfter", "EarlyEof",   "Grow",         "Replace",
                                  "SizesOff",   "ShortReads", "KeyChanged"};

const char* const epsvNames[] = {"Works",      "Refused500", "Refused502", "Refused550",
                                 "Refused450", "Malformed",  "ClosedPort"};

bool isTransfer(const std::string& verb) { return verb == "RETR" || verb == "STOR" || verb == "NLST" || verb == "LIST"; }

// The negative codes real servers answer each command with.
std::vector<std::string> refusals(const std::string& verb) {
    static const std::map<std::string, std::vector<std::string>> t = {
        {"USER", {"530", "421", "500"}},         {"PASS", {"530", "421", "503"}},
        {"CWD", {"550", "421", "500"}},          {"PWD", {"550", "500", "421", "502"}},
        {"TYPE", {"500", "504", "421"}},         {"PORT", {"500", "501", "421", "550", "450"}},
        {"EPRT", {"500", "522", "421"}},         {"EPSV", {"500", "502", "501"}},
        {"PASV", {"500", "502", "421"}},         {"NLST", {"450", "550", "451", "500", "502", "425", "421"}},
        {"LIST", {"450", "550", "451", "500", "502", "425", "421"}},
        {"REST", {"500", "502", "501", "421"}},  {"RETR", {"550", "450", "451", "425", "426", "421"}},
        {"STOR", {"550", "553", "452", "451", "425", "532", "421"}},
        {"DELE", {"550", "450", "421"}},         {"AUTH", {"500", "502", "534"}},
        {"PBSZ", {"500", "502"}},                {"PROT", {"500", "502", "536"}},
        {"FEAT", {"500", "502", "421"}},         {"SIZE", {"550", "500", "421"}},
        {"MDTM", {"550", "500"}},                {"HASH", {"550", "504", "421"}},
        {"XSHA1", {"550", "500"}},               {"OPTS", {"501", "504"}},
    };
    auto it = t.find(verb);
    return it == t.end() ? std::vector<std::string>{"500"} : it->second;
}

std::vector<std::string> finishes(const std::string& verb) {
    if (verb == "STOR") return {"426", "451", "452", "552"};
    return {"426", "451", "550"};
}

// A file's bytes: any bytes, or for ASCII scenarios text (letters, blanks
// and LF line ends, never a CR).
std::string content(std::uint64_t seed, const std::string& name, std::int64_t size, bool text = false) {
    std::uint64_t h = seed;
    for (char c : name) h = h * 131 + static_cast<unsigned char>(c);
    Rng r(h);
    std::string out(static_cast<std::size_t>(size), '\0');
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJ0123456789.,\n";
    for (auto& c : out) c = text ? letters[r.below(sizeof letters - 1)] : static_cast<char>(r.next() & 0xff);
    return out;
}

// What a TYPE A transfer carries of a file.
std::string crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::string utcText(std::int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &tm);
    return text;
}

bool allowsWatchdog(const Scenario& sc) {
    for (auto& a : sc.actions)
        if (a.fault == Fault::Silent || a.fault == Fault::Hold || a.fault == Fault::NoFinal ||
            (a.fault == Fault::Delay && a.arg >= 150000))
            return true;
    return false;
}

// Whether the faults neither depend on time nor hit commands that quick
// waits leave out (those that set up an unused data connection, say).
bool timingFree(const Scenario& sc) {
    // A file written a moment ago is taken once enough time has passed.
    if (sc.settle) return false;
    // With more connections, which of them meets the nth command (and so
    // which file a fault hits) depends on how fast each went.
    if (sc.parallel > 1) return false;
    for (auto& a : sc.actions) {
        if (a.fault == Fault::Delay || a.fault == Fault::Trickle || a.fault == Fault::Silent ||
            a.fault == Fault::Hold || a.fault == Fault::Flood)
            return false;
        if ((a.fault == Fault::CloseAfter || a.fault == Fault::ResetAfter) && a.arg > 0) return false;
        for (const char* v : {"TYPE", "PORT", "EPRT", "EPSV", "PASV", "REST"})
            if (a.verb == v) return false;
    }
    return true;
}

// The names a job's pattern takes, as a user reads the pattern.
bool taken(const Scenario& sc, const std::string& name) {
    const std::string pattern = sc.upload ? "*.txt" : sc.pattern;
    if (name.empty() || (name[0] == '.' && pattern[0] != '.')) return false;
    // With settled files only, a name in an uploader's temporary suffix is
    // a file in progress.
    if (!sc.upload && sc.settle && endsWith(name, ".part")) return false;
    return files::wildcardMatch(pattern, name);
}

struct Line {
    std::string name, result;
};

// The verdict lines of a zone log, by the names that may stand in them.
std::vector<Line> verdicts(const std::string& text, const std::vector<File>& known) {
    std::vector<Line> out;
    for (auto& l : files::splitLines(text)) {
        if (l.size() < 32) continue;
        std::string best;
        for (auto& f : known) {
            const std::size_t end = 28 + f.name.size();
            if (l.size() > end && l.compare(28, f.name.size(), f.name) == 0 && l[end] == ' ' &&
                f.name.size() > best.size())
                best = f.name;
        }
        if (best.empty()) {
            // A name the scenario never made: what stands before the size.
            std::string rest = l.substr(28, l.size() - 28 - 4);
            while (!rest.empty() && rest.back() == ' ') rest.pop_back();
            const std::string unknown = "Unknown File Size";
            if (rest.size() >= unknown.size() && rest.compare(rest.size() - unknown.size(), unknown.size(), unknown) == 0)
                rest.resize(rest.size() - unknown.size());
            else
                while (!rest.empty() && (std::isdigit(static_cast<unsigned char>(rest.back())) || rest.back() == '-')) rest.pop_back();
            while (!rest.empty() && rest.back() == ' ') rest.pop_back();
            best = "?" + rest;
        }
        out.push_back({best, l.substr(l.size() - 4)});
    }
    return out;
}

class Player {
public:
    Player(const Scenario& sc, bool trace) : sc_(sc), wire_(sc.seed ^ 0x5eed) {
        plat_.eventLimit = 20'000'000;
        app_ = std::make_unique<Program>(plat_, dir_.path());
        if (trace)
            app_->trace = [this](const std::string& l) {
                std::fprintf(stderr, "%8lld %s\n", static_cast<long long>(plat_.nowMs()), l.c_str());
            };
        app_->startUp();
        auto& w = app_->w;
        auto& s = app_->s;
        w.Text1.setText("127.0.0.1");
        w.fText3.setText("u");
        w.fText4.setText("p");
        w.Text2.setText("/");
        w.Text7.setText(sc.pattern);
        w.Text3.setText("127.0.0.1");
        w.Text4.setText("u");
        w.Text5.setText("p");
        w.Text6.setText("/");
        w.Text8.setText("*.txt");
        work_ = dir_.path() + "/work";
        std::filesystem::create_directory(work_);
        s.workPath = work_;
        w.File2.setPath(work_);
        if (!sc.nlst) w.ai_list.userChoose();
        if (sc.ascii) w.ai_asc.userChoose();
        s.passiveMode = sc.passive;
        s.quickWaits = sc.quick;
        s.parallelConnections = sc.parallel;
        if (sc.parallel > 1) server_.maxConnections = sc.serverLimit > 0 ? sc.serverLimit : 8;
        s.downloadTls = s.uploadTls = sc.tls;
        w.Text11.setText(std::to_string(sc.retries));
        w.Text12.setText(std::to_string(sc.retries));
        if (sc.deleteAfter) (sc.upload ? w.ai_del2 : w.ai_del).userChoose();
        if (!sc.dupe) {
            w.Check3.setChecked(false);
            w.Check4.setChecked(false);
            s.downloadDupeCheck = s.uploadDupeCheck = false;
        }
        for (auto& f : sc.files) {
            const std::string c = content(sc.seed, f.name, f.size, sc.ascii);
            originals_[f.name] = c;
            versions_[f.name] = {c};
            if (sc.upload)
                files::writeWhole(work_ + "/" + f.name, c);
            else
                server_.files[f.name] = c;
        }
        if (sc.longPatience)
            app_->checksumPatience = [](std::int64_t) { return checksumLimitSeconds(std::int64_t{1} << 62); };
        s.verifyTransfers = sc.verify;
        s.resumeDownloads = sc.resume;
        s.uploadTempName = sc.tempName;
        server_.renames = static_cast<testing::FakeFtpServer::Renames>(sc.renames);
        server_.refuseAppe = sc.appeRefused;
        if (sc.tempName && sc.oldCopies)
            for (auto& f : sc.files)
                if (taken(sc, f.name)) server_.stored[f.name] = old_[f.name] = "an older copy of " + f.name;
        server_.storedChanged = [this](const std::string& name) { watchStored(name); };
        server_.storeEnded = [this](const std::string& name) { tamper(name); };
        static const std::vector<std::vector<std::string>> offered = {
            {}, {"SIZE"}, {"SIZE", "MDTM", "REST STREAM", "HASH SHA-1*;SHA-256;MD5"}, {"SIZE", "XCRC", "XSHA1"}};
        server_.features = offered[static_cast<std::size_t>(sc.features) % offered.size()];
        server_.checksumLie = sc.checksumLie;
        if (sc.settle) {
            s.settleSeconds = 60;
            recentUntil_ = plat_.clock().utcSeconds() - 5 + 60;
            for (auto& f : sc.files)
                if (recent_.empty() && taken(sc, f.name)) recent_ = f.name;
            if (sc.upload) {
                for (auto& f : sc.files) age(f.name, f.name == recent_ ? 5 : 3600);
            } else if (!recent_.empty()) {
                server_.mdtm[recent_] = utcText(plat_.clock().utcSeconds() - 5);
            }
        }
        // A file dated hours ahead (a clock that runs fast), for good.
        if (sc.futureTime) {
            for (auto& f : sc.files)
                if (future_.empty() && taken(sc, f.name) && f.name != recent_) future_ = f.name;
            if (!future_.empty()) {
                if (sc.upload)
                    age(future_, -3 * 3600);
                else
                    server_.mdtm[future_] = utcText(plat_.clock().utcSeconds() + 3 * 3600);
            }
        }
        if (sc.growing && !sc.upload)
            for (auto& f : sc.files)
                if (growing_.empty() && taken(sc, f.name) && f.name != recent_ && f.name != future_) growing_ = f.name;
        server_.asciiConverts = true;
        server_.replyStyle = sc.replyStyle;
        server_.login = sc.login;
        server_.restIgnored = sc.restIgnored;
        server_.restRefusedAtRetr = sc.restRefusedAtRetr;
        server_.tls = sc.tls;
        using ServerEpsv = testing::FakeFtpServer::Epsv;
        static const std::pair<ServerEpsv, const char*> epsvWays[] = {
            {ServerEpsv::Works, ""},         {ServerEpsv::Refused, "500"}, {ServerEpsv::Refused, "502"},
            {ServerEpsv::Refused, "550"},    {ServerEpsv::Refused, "450"}, {ServerEpsv::Malformed, ""},
            {ServerEpsv::ClosedPort, ""}};
        std::tie(server_.epsv, server_.epsvCode) = epsvWays[static_cast<int>(sc.epsv)];
        server_.connectAtPort = sc.connectAtPort;
        server_.expandWildcards = !sc.listsEverything;
        server_.coalesce = sc.coalesce;
        server_.blockAfterPassive = sc.blockAfterPassive;
        server_.wire = [this](const std::string& bytes) { send(bytes); };
        server_.shaping = [this](const std::string& line, Shape& shape) { shapeOf(line, shape); };
        server_.sessionOf = [this] { return session(); };
        if (sc.sftp) setupSftp();
    }

    std::vector<std::string> run() {
        std::vector<std::string> broken;
        auto& s = app_->s;
        const auto t0 = plat_.nowMs();
        const int sessions0 = session();
        // A session's bound: the watchdog's time, a few pauses per file, and
        // whatever the server made it wait on purpose.
        std::int64_t delays = 0;
        for (auto& a : sc_.actions)
            if (a.fault == Fault::Delay || a.fault == Fault::Trickle) delays += a.arg * (a.fault == Fault::Trickle ? 4 : 1);
        // (A checksum question may wait its whole patience first.)
        const std::int64_t bound = 300'000 + static_cast<std::int64_t>(sc_.files.size()) * 45'000 + delays +
                                   (sc_.longPatience ? maxChecksumPatienceSeconds * 1000 : 0);
        // Far more than any session may take: the run stops there.
        plat_.timeLimitMs = t0 + bound * (sc_.retries + 2) * (static_cast<std::int64_t>(sc_.files.size()) + 2);
        if (!job()) {
            broken.push_back("the job run did not end: " + stuck_);
            return broken;
        }
        const int sessions = session() - sessions0;
        if (plat_.nowMs() - t0 > bound * std::max(1, sessions))
            broken.push_back("the job run took " + std::to_string((plat_.nowMs() - t0) / 1000) + " s over " +
                             std::to_string(sessions) + " sessions");
        // With quick waits a well-behaved server's session takes no time to
        // speak of: no wait runs its full length.
        if (sc_.quick && sc_.actions.empty() && plat_.nowMs() - t0 > 3000)
            broken.push_back("quick waits, a well-behaved server, yet the run took " +
                             std::to_string(plat_.nowMs() - t0) + " ms");
        if (s.watchdogTakeovers > 0 && !allowsWatchdog(sc_))
            broken.push_back("a watchdog took a session over though the server never fell silent");
        checkQueues(broken);
        checkSilence(broken);
        if (keyBroken_) broken.push_back("a login went on though the server's key had changed");
        // (Whichever connection met it: the user hears of a changed key.)
        if (keyRefused_ && errors().find("Host Key Changed: ") == std::string::npos)
            broken.push_back("the server's key changed, and the error log does not say so");
        checkFiles(broken, false);
        firstLines_ = lines();
        if (app_->trace) app_->trace("-- verdicts after the faults:\n" + log() + errors());
        // Liveness: the same server, well behaved now, serves a normal run.
        faults_ = false;
        server_.checksumLie = false;
        // Files changed under the faults (a new time) have settled since.
        if (sftp_)
            for (auto& [path, f] : sftp_->files)
                if (path.substr(1) != future_) f.mtime = 1'700'000'000;
        // The file written a moment ago has settled.
        if (!recent_.empty()) {
            checkUnsettled(broken);
            if (sc_.upload) age(recent_, 3600);
            server_.mdtm.erase(recent_);
        }
        if (sc_.replaced) replace();
        // A server that answers REST and then does not obey it, or refuses
        // the RETR that follows it ("451 Restart not permitted"), for good: a part
        // kept under the faults costs its file one failed run (the resume
        // runs past the file's size, and the part is dropped). The run
        // after that one is the normal run.
        // So does a part of a file replaced by one of the same size on a
        // server that tells no time: only the checksum finds it out.
        // (An upload's kept copy that the server continues at the wrong
        // place, whose APPE it refuses, or on which it refuses a STOR after
        // REST, costs its file one run alike; one that refuses both that
        // STOR and APPE costs it two.)
        const int costly = sc_.sftp ? 0 :
            ((sc_.restIgnored || sc_.restRefusedAtRetr || (sc_.replaced && sc_.features != 2)) && !sc_.upload) ||
                    (sc_.upload && sc_.resume && (sc_.restIgnored || sc_.appeRefused || sc_.renames == 1))
                ? 1 + (sc_.upload && sc_.resume && sc_.appeRefused && sc_.renames == 1)
                : 0;
        for (int i = 0; i < costly; ++i) {
            plat_.timeLimitMs = plat_.nowMs() + bound * 4;
            if (!job()) {
                broken.push_back("the run after the faults did not end: " + stuck_);
                return broken;
            }
        }
        const auto failed = s.failedSessions;
        const auto before = lines().size();
        const int sessionsBefore = session();
        const auto heard = sessionCommands_.size();
        const auto t1 = plat_.nowMs();
        plat_.timeLimitMs = t1 + bound * 4;
        if (!job()) {
            broken.push_back("the run after the faults did not end: " + stuck_);
            return broken;
        }
        const auto all = lines();
        if (app_->trace) app_->trace("-- verdicts after the normal run:\n" + log() + errors());
        for (std::size_t i = before; i < all.size(); ++i)
            if (all[i].result != "pass" && renamesWork() && !deletedLate(all[i].name))
                broken.push_back("after the faults, " + all[i].name + " failed");
        if (s.failedSessions != failed) broken.push_back("after the faults, the session failed: " + errors());
        // A fault-free run moves each file once, over one connection.
        std::map<std::string, int> moved;
        // (Only its own sessions: a command the program sent on a connection
        // lost under the faults may reach the server afterwards.)
        for (std::size_t i = heard; i < sessionCommands_.size(); ++i) {
            const auto& [session, c] = sessionCommands_[i];
            if (session > sessionsBefore && c.rfind(sc_.upload ? "STOR " : "RETR ", 0) == 0 && ++moved[c] == 2)
                broken.push_back("the normal run sent " + c + " twice");
        }
        // Never more connections than asked for, nor than the server allows;
        // a limit is never taken for a bad password.
        const int allowed = sc_.serverLimit > 0 ? std::min(sc_.parallel, sc_.serverLimit) : sc_.parallel;
        const int mostOpen = sc_.sftp ? sftp_->mostOpen : server_.mostOpen;
        if (mostOpen > allowed)
            broken.push_back(std::to_string(mostOpen) + " connections open at once, " +
                             std::to_string(allowed) + " allowed");
        bool loginFaults = false;
        // (A further connection's refused login is a limit: never a bad
        // password.)
        for (auto& a : sc_.actions)
            loginFaults = loginFaults || (a.connection <= 1 && (a.verb == "USER" || a.verb == "PASS")) ||
                          (a.verb == "connect" && a.fault == Fault::Refuse);
        if (!loginFaults && errors().find("Invalid User/Pass") != std::string::npos)
            broken.push_back("a refused connection was logged as a bad password");
        checkFiles(broken, true);
        checkQueues(broken);
        return broken;
    }

    std::vector<Line> firstLines_;

    // Records what the server hears and says (with the program's time),
    // and, at the end, what each transfer carried, the logs and the
    // window's status texts.
    void record(std::string* to) { record_ = to; }
    void recordEnd() {
        if (!record_) return;
        auto& r = *record_;
        for (auto& a : server_.attempts)
            r += "transfer " + a.name + " told " + std::to_string(a.told) + " sent " + std::to_string(a.bytes.size()) +
                 (a.endedNormally ? " ended" : " cut") + "\n";
        for (auto& [name, content] : server_.stored) r += "stored " + name + " " + std::to_string(content.size()) + "\n";
        for (const char* f : {"dl_file_size.log", "fileupl.log", "err_dload.log", "err_upload.log", "filename2.log",
                              "fileupl1.log"})
            r += std::string("== ") + f + "\n" + dir_.read(f);
        auto& w = app_->w;
        r += "== labels\n" + w.Label11.caption() + "\n" + w.Label12.caption() + "\n" + w.caption() + "\n";
    }

private:
    bool job() {
        try {
            if (sc_.upload)
                startUploadNow(*app_);
            else
                startDownloadNow(*app_);
        } catch (const platform::fake::Stuck& e) {
            stuck_ = e.what();
            return false;
        }
        return true;
    }

    // Memory: the replies waiting on a control connection never passed
    // their bound, whatever the server sent.
    void checkQueues(std::vector<std::string>& broken) const {
        const auto& a = sc_.upload ? uploadSession(*app_).assembler : downloadSession(*app_).assembler;
        if (a.mostQueued() > ReplyAssembler::maxQueuedReplies || a.mostQueuedBytes() > ReplyAssembler::maxQueuedBytes)
            broken.push_back("replies waiting reached " + std::to_string(a.mostQueued()) + " (" +
                             std::to_string(a.mostQueuedBytes()) + " bytes)");
    }

    // A file that no session has passed yet is replaced on the server by
    // another of its size and an older time (one with a kept partial file
    // first).
    void replace() {
        std::set<std::string> passed, kept;
        for (auto& l : firstLines_)
            if (l.result == "pass") passed.insert(l.name);
        for (auto& e : std::filesystem::directory_iterator(work_)) {
            const std::string n = e.path().filename().string();
            for (auto& f : sc_.files)
                if (n.rfind("." + f.name + ".", 0) == 0) kept.insert(f.name);
        }
        std::string name;
        for (int round = 0; round < 2 && name.empty(); ++round)
            for (auto& f : sc_.files)
                if (name.empty() && f.size > 0 && taken(sc_, f.name) && !passed.count(f.name) && server_.files.count(f.name) &&
                    f.name != growing_ && (round == 1 || kept.count(f.name)))
                    name = f.name;
        if (name.empty()) return;
        std::string c = content(sc_.seed ^ 0xbb67ae85ULL, name, static_cast<std::int64_t>(originals_[name].size()), sc_.ascii);
        if (c == originals_[name]) c[0] = c[0] == 'a' ? 'b' : 'a';
        server_.files[name] = c;
        server_.mdtm[name] = "19990101000000";
        originals_[name] = c;
        versions_[name].push_back(c);
        if (app_->trace) app_->trace("-- " + name + " replaced on the server");
    }

    // The file that grows gets more bytes.
    void grow() {
        growPending_ = false;
        grown_ = true;
        const std::string more = content(sc_.seed ^ 0x6a09e667ULL, growing_, 50 + static_cast<std::int64_t>(sc_.seed % 500), sc_.ascii);
        server_.files[growing_] += more;
        originals_[growing_] = server_.files[growing_];
        versions_[growing_].push_back(server_.files[growing_]);
        if (app_->trace) app_->trace("-- " + growing_ + " grew");
    }

    // What a whole local copy of these server bytes holds.
    std::string expect(const std::string& c) const { return sc_.ascii ? crlf(c) : c; }

    std::string log() const { return dir_.read(sc_.upload ? "fileupl.log" : "dl_file_size.log"); }

    // Whether a fault hits FEAT (the server may then seem to offer nothing).
    bool featHit() const {
        for (auto& a : sc_.actions)
            if (a.verb == "FEAT") return true;
        return false;
    }

    // Sets a local file's time this many seconds before the program's now.
    void age(const std::string& name, std::int64_t seconds) {
        const std::time_t t = static_cast<std::time_t>(plat_.clock().utcSeconds() - seconds);
        struct timespec times[2] = {{t, 0}, {t, 0}};
        ::utimensat(AT_FDCWD, (work_ + "/" + name).c_str(), times, 0);
    }

    // Until it has settled, the file written a moment ago is neither sent
    // nor fetched (unless faults kept the server from telling its time).
    void checkUnsettled(std::vector<std::string>& broken) const {
        for (auto& a : sc_.actions)
            if (!sc_.upload && (a.verb == "MDTM" || a.verb == "FEAT")) return;
        if (takenUnsettled_) broken.push_back(recent_ + " was taken while it was being written");
    }
    std::string errors() const { return dir_.read(sc_.upload ? "err_upload.log" : "err_dload.log"); }
    std::vector<Line> lines() const { return verdicts(log(), sc_.files); }

    // What the control connection carries: line ends, multi-line forms,
    // noise and cuts, as the scenario's server has them.
    void send(const std::string& bytes) {
        if (record_) *record_ += stamp() + " S " + bytes;
        std::string out;
        std::size_t b = 0;
        while (b < bytes.size()) {
            std::size_t e = bytes.find("\r\n", b);
            if (e == std::string::npos) e = bytes.size();
            std::string line = bytes.substr(b, e - b);
            b = e + 2;
            if (sc_.noise && wire_.chance(20)) out += "Please wait\r\n";
            const bool coded = line.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0])) && line[3] == ' ';
            if (sc_.multiLine && coded && wire_.chance(40))
                out += line.substr(0, 3) + "-" + line.substr(4) + "\r\n " + "more text\r\n";
            out += line + "\r\n";
            if (sc_.repeatGreeting && line.rfind("220 ", 0) == 0 && wire_.chance(70)) out += line + "\r\n";
        }
        if (sc_.lf) {
            std::string t;
            for (std::size_t i = 0; i < out.size(); ++i)
                if (!(out[i] == '\r' && i + 1 < out.size() && out[i + 1] == '\n')) t += out[i];
            out.swap(t);
        }
        if (!sc_.split || out.size() < 2) {
            server_.sendRaw(out);
            return;
        }
        std::size_t at = 0;
        while (at < out.size()) {
            std::size_t n = 1 + static_cast<std::size_t>(wire_.below(static_cast<int>(out.size() - at)));
            server_.sendRaw(out.substr(at, n));
            at += n;
        }
    }

    // The file a transfer command is for (a temporary name's file).
    std::string stem(const std::string& line) const {
        std::string name = line.size() > 5 ? line.substr(5) : "";
        if (sc_.tempName && tempCopy(name)) name.resize(name.size() - 5);
        return name;
    }
    static bool tempCopy(const std::string& name) { return endsWith(name, ".part"); }
    // (FEAT refused: the server offers no size to ask, as far as the
    // program can know, and such a copy cannot be found out.)
    bool replacedFindable() const {
        return sc_.tempReplaced && sc_.verify && sc_.features != 0 && !sc_.ascii && !featHit();
    }
    // (A plain SFTP rename is refused onto an existing name: it works while
    // no older copy stands and nothing passed is sent again, unless a lost
    // answer hid a rename that was done.)
    bool renamesWork() const {
        if (sc_.sftp)
            return !sc_.tempName || sc_.renames == 0 ||
                   (!sc_.oldCopies && sc_.dupe && std::none_of(sc_.actions.begin(), sc_.actions.end(), [](auto& a) {
                        return a.verb == "rename";
                    }));
        return !sc_.tempName || sc_.renames <= 1;
    }
    // A download that passed under the faults and was deleted by a DELE
    // that reached the server late (its connection lost, the normal run
    // already listing): it is gone, and its failure is the server's truth.
    bool deletedLate(const std::string& name) const {
        if (sc_.upload || !sc_.deleteAfter || server_.files.count(name)) return false;
        return std::any_of(firstLines_.begin(), firstLines_.end(),
                           [&](const Line& l) { return l.name == name && l.result == "pass"; });
    }
    // A DELE refused for good ("550"): what it was to delete may stay.
    bool deleteRefused() const {
        for (auto& a : sc_.actions)
            if (a.verb == "DELE" && a.fault == Fault::Refuse &&
                refusals("DELE")[static_cast<std::size_t>(a.arg) % 3] == "550")
                return true;
        return false;
    }
    bool renameHit() const {
        for (auto& a : sc_.actions)
            if (a.verb == "RNFR" || a.verb == "RNTO") return true;
        return false;
    }

    // With temporary names the server's copy under a file's own name is
    // only ever the older one or the whole file, whenever it changes.
    void watchStored(const std::string& name) {
        if (!sc_.tempName || tempCopy(name)) return;
        const auto& held = stored();
        const auto st = held.find(name);
        if (st == held.end()) return;
        const auto o = originals_.find(name), old = old_.find(name);
        if ((o != originals_.end() && st->second == o->second) || (old != old_.end() && st->second == old->second))
            return;
        storedBroken_.push_back(name + " held " + std::to_string(st->second.size()) +
                                " bytes on the server, neither its older copy nor the whole file");
    }

    // While the faults last the server deletes or replaces the first
    // temporary copy stored.
    void tamper(const std::string& name) {
        if (!faults_ || tampered_ || !tempCopy(name)) return;
        if (sc_.tempVanish)
            server_.stored.erase(name);
        else if (replacedFindable())
            server_.stored[name] += "replaced";
        tampered_ = sc_.tempVanish || replacedFindable();
    }

    std::int64_t sizeOf(const std::string& line) const {
        const std::string name = stem(line);
        auto it = originals_.find(name);
        return it == originals_.end() ? 40 : static_cast<std::int64_t>(it->second.size());
    }

    // A stranger connects to the port a PORT or EPRT command announces,
    // before the server handles it.
    void stranger(const std::string& line) {
        std::int32_t port = -1;
        if (line.rfind("PORT ", 0) == 0) {
            const auto c = line.rfind(',');
            const auto b = line.rfind(',', c - 1);
            if (c != std::string::npos && b != std::string::npos)
                port = std::atoi(line.c_str() + b + 1) * 256 + std::atoi(line.c_str() + c + 1);
        } else if (line.rfind("EPRT ", 0) == 0 && line.size() > 6) {
            const auto e = line.rfind('|');
            const auto b = line.rfind('|', e - 1);
            if (e != std::string::npos && b != std::string::npos) port = std::atoi(line.c_str() + b + 1);
        }
        if (port <= 0) return;
        if (auto p = plat_.connectTo(port, "192.0.2.7")) {
            p->send("not the server's bytes\r\n");
            strangers_.push_back(p);
        }
    }

    void shapeOf(const std::string& line, Shape& shape) {
        if (record_) *record_ += stamp() + " C " + line + "\n";
        std::string verb = line.substr(0, line.find(' '));
        if (sc_.strangers && (verb == "PORT" || verb == "EPRT")) stranger(line);
        const int n = ++seen_[verb];
        const int on = server_.speakingConnection;
        const int nOn = ++seenOn_[{on, verb}];
        sessionCommands_.push_back({server_.speaking, line});
        if (growPending_) grow();
        if (faults_ && !grown_ && !growing_.empty() && line == "RETR " + growing_) {
            if (sc_.growing == 1) grow();
            else growPending_ = true;
        }
        if (!recent_.empty() && (verb == "RETR" || verb == "STOR" || verb == "APPE") && stem(line) == recent_ &&
            plat_.clock().utcSeconds() < recentUntil_)
            takenUnsettled_ = true;
        noteSession(server_.speaking);
        if (!faults_) return;
        for (auto& a : sc_.actions) {
            if (a.verb != verb || (a.connection == 0 ? a.nth != n : a.connection != on || a.nth != nOn)) continue;
            if (a.fault == Fault::Silent && a.connection > 1 && silentCheck_ == nullptr) watchSilence();
            const std::int64_t size = sizeOf(line);
            switch (a.fault) {
                case Fault::Refuse: {
                    auto codes = refusals(verb);
                    shape.refuse = codes[static_cast<std::size_t>(a.arg) % codes.size()];
                    break;
                }
                case Fault::Finish: {
                    auto codes = finishes(verb);
                    shape.finish = codes[static_cast<std::size_t>(a.arg) % codes.size()];
                    break;
                }
                case Fault::SizeUntold: shape.size = Shape::Size::Untold; break;
                case Fault::SizeWrong: shape.size = Shape::Size::Wrong; break;
                case Fault::DataShort: shape.dataBytes = size * (a.arg % 100) / 100; break;
                case Fault::DataLong: shape.dataBytes = size + 1 + a.arg; break;
                case Fault::DataReset:
                    shape.dataEnd = Shape::DataEnd::Reset;
                    shape.dataBytes = size * (a.arg % 101) / 100;
                    break;
                case Fault::DataNever: shape.dataEnd = Shape::DataEnd::Never; break;
                case Fault::DataFirst: shape.order = Shape::Order::First; break;
                case Fault::DataAfter: shape.order = Shape::Order::After; break;
                case Fault::Trickle: shape.trickleMs = a.arg; break;
                case Fault::SecondPrelim: shape.secondPreliminary = true; break;
                case Fault::NoFinal: shape.noFinal = true; break;
                case Fault::CloseBefore: shape.control = Shape::Control::CloseBefore; break;
                case Fault::ResetBefore: shape.control = Shape::Control::ResetBefore; break;
                case Fault::CloseAfter:
                    shape.control = Shape::Control::CloseAfter;
                    shape.controlAfterMs = a.arg;
                    break;
                case Fault::ResetAfter:
                    shape.control = Shape::Control::ResetAfter;
                    shape.controlAfterMs = a.arg;
                    break;
                case Fault::Delay: shape.delayMs = a.arg; break;
                case Fault::Silent: shape.silent = true; break;
                case Fault::Hold: shape.holdEveryMs = a.arg; break;
                case Fault::Flood: shape.floodLines = a.arg; break;
                default: break;  // (SFTP's own)
            }
        }
    }

    // A session's first command: the uploads the previous one passed are
    // checked, and its verdicts begin here.
    void noteSession(int speaking) {
        if (speaking <= lastSession_) return;
        lastSession_ = speaking;
        const auto all = lines();
        if (sc_.upload) verifyStored(all, segments_.empty() ? 0 : segments_.back().second);
        segments_.push_back({lastSession_, all.size()});
    }

    void checkFiles(std::vector<std::string>& broken, bool final) {
        const auto all = lines();
        // A stranger on the data port never receives a byte of any file.
        for (auto& p : strangers_)
            if (!p->allReceived().empty())
                broken.push_back("a stranger on the data port received " + std::to_string(p->allReceived().size()) +
                                 " bytes");
        strangers_.clear();
        std::map<std::string, int> passes, count;
        for (auto& l : all) {
            // A name the server never had (a fragment of a cut listing, say)
            // may fail when the server refuses it; it never passes.
            if (l.name[0] == '?' ? l.result == "pass" : !taken(sc_, l.name))
                broken.push_back("a verdict for a name not taken: " + l.name);
            const std::string name = l.name[0] == '?' ? l.name.substr(1) : l.name;
            ++count[name];
            if (l.result == "pass") ++passes[name];
        }
        // The sessions in which each file was started.
        std::map<std::string, std::set<int>> started;
        const std::string verb = sc_.upload ? "STOR " : "RETR ";
        for (auto& [session, line] : sessionCommands_)
            if (line.rfind(verb, 0) == 0 || (sc_.upload && line.rfind("APPE ", 0) == 0))
                started[stem(line)].insert(session);
        for (auto& [name, sessions] : started) {
            if (!taken(sc_, name)) broken.push_back("started a file the pattern does not take: " + name);
            std::string trimmed = name;
            while (!trimmed.empty() && trimmed.back() == ' ') trimmed.pop_back();
            // (A file that grows while it is fetched may be left for a later
            // run without a verdict when settled files only are taken.)
            if (!final && count[name] == 0 && count[trimmed] == 0 && !(sc_.settle && name == growing_) &&
                !(sc_.settle && (changed_.count(name) || sizesOff_)))
                broken.push_back("no verdict for " + name + ", which was started");
        }
        // At most one verdict per file in each session, and a pass only for
        // a file started in that session.
        for (std::size_t k = 0; k < segments_.size(); ++k) {
            const std::size_t b = segments_[k].second;
            const std::size_t e = k + 1 < segments_.size() ? segments_[k + 1].second : all.size();
            std::map<std::string, int> inSession;
            for (std::size_t i = b; i < e && i < all.size(); ++i) {
                const std::string name = all[i].name[0] == '?' ? all[i].name.substr(1) : all[i].name;
                if (++inSession[name] == 2)
                    broken.push_back(name + " has two verdicts in session " + std::to_string(segments_[k].first));
                if (all[i].result == "pass" && !started[name].count(segments_[k].first))
                    broken.push_back(name + " passed in a session that never started it");
            }
        }
        // What is on disk: the program's own files beside the work
        // directory, and in it only whole copies.
        static const std::set<std::string> own = {"values.log",   "pather.log",   "filename2.log", "dl_file_size.log",
                                                  "fileupl1.log", "fileupl.log",  "err_dload.log", "err_upload.log",
                                                  "work",         "upl_parts.log"};
        for (auto& e : std::filesystem::directory_iterator(dir_.path()))
            if (!own.count(e.path().filename().string()))
                broken.push_back("a file beside the program's own: " + e.path().filename().string());
        std::set<std::string> present;
        for (auto& e : std::filesystem::directory_iterator(work_)) present.insert(e.path().filename().string());
        if (sc_.upload) checkUpload(broken, final, passes, present);
        else checkDownload(broken, final, passes, present);
        if (!final) {
            for (auto& l : files::splitLines(errors())) {
                bool known = false;
                for (const char* m : {"Invalid IP/Host ", "Invalid User/Pass ", "Timeout Error ", "Unknown Error ",
                                      "TLS ", "Certificate ", "Not Verified: ", "Flood Error: ", "Rename Refused: ",
                                      "Replaced: ", "Rename Failed: ", "Host Key Changed: ", "SFTP Unavailable: "})
                    if (l.rfind(m, 0) == 0) known = true;
                // A file dated in the future may be named, or the clocks said to differ.
                if (!future_.empty() && (l.find(future_) != std::string::npos || saysClock(l))) known = true;
                if (!known) broken.push_back("an unknown error-log line: " + l);
            }
            // A refused password is a refused login, whatever the server
            // does with the connection afterwards.
            for (auto& a : sc_.actions)
                if (sc_.login != 2 && sc_.login != 3 && a.verb == "PASS" && a.nth == 1 && a.connection <= 1 && a.fault == Fault::Refuse &&
                    refusals("PASS")[static_cast<std::size_t>(a.arg) % 3] == "530" && !firstSessionOtherwiseHit(a))
                    if (errors().rfind("Invalid User/Pass ", 0) != 0)
                        broken.push_back("a refused password was logged as: " + errors());
            // Checksums that never match: no file passes (unless FEAT was
            // refused: a server offering nothing is judged as without the
            // option).
            // (In ASCII no checksum can prove a copy: none is asked.)
            if (sc_.checksumLie && sc_.verify && !featHit() && !sc_.ascii)
                for (auto& l : all)
                    // (The X commands are not asked for a name with a blank.)
                    if (l.result == "pass" && !(sc_.features == 3 && l.name.find(' ') != std::string::npos))
                        broken.push_back(l.name + " passed though its checksum was wrong");
            // (A file that grows is not a well-behaved server's.)
            if (sc_.actions.empty() && !(sc_.checksumLie && sc_.verify) && growing_.empty() && renamesWork() &&
                !sc_.tempVanish && !sc_.tempReplaced) {
                for (auto& f : sc_.files)
                    if (taken(sc_, f.name) && f.name != recent_ && !(sc_.settle && f.name == future_) &&
                        passes[f.name] != 1)
                        broken.push_back("a well-behaved server, yet " + f.name + " has " +
                                         std::to_string(passes[f.name]) + " passes");
                if (app_->s.failedSessions > 0 || app_->s.failedFiles > 0)
                    broken.push_back("a well-behaved server, yet a failure: " + errors());
            }
        }
    }

    // A further connection falls silent: 150 s on (before its watchdog can
    // end it), the others must have moved on.
    void watchSilence() {
        silentFrom_ = lines().size();
        silentCheck_ = plat_.makeTimer();
        silentCheck_->setInterval(150'000);
        silentCheck_->onTick = [this] {
            silentCheck_->setEnabled(false);
            verdictsWhileSilent_ = lines().size();
            silentChecked_ = true;
        };
        silentCheck_->setEnabled(true);
    }

    // A silent further connection stalls no other: while it was silent the
    // others gave verdicts, or had given all but the one it held.
    void checkSilence(std::vector<std::string>& broken) {
        if (!silentChecked_ || sc_.actions.size() != 1 || (sc_.checksumLie && sc_.verify) || !growing_.empty())
            return;
        std::size_t expected = 0;
        for (auto& f : sc_.files)
            if (taken(sc_, f.name) && f.name != recent_ && !(sc_.settle && f.name == future_)) ++expected;
        // (A download connection takes its next name before it judges its
        // file: silent while it judges, it holds two.)
        const std::size_t held = sc_.upload ? 1 : 2;
        if (verdictsWhileSilent_ == silentFrom_ && verdictsWhileSilent_ + held < expected)
            broken.push_back("a silent further connection stalled the others: " + std::to_string(silentFrom_) +
                             " verdicts when it fell silent, none in 150 s after, " + std::to_string(expected) +
                             " files");
    }

    // Whether another fault hits the first session before its PASS is
    // answered (then the refusal may never be read).
    bool firstSessionOtherwiseHit(const Action& pass) const {
        for (auto& a : sc_.actions) {
            if (&a == &pass) continue;
            if (a.connection > 1) continue;
            if ((a.verb == "USER" || a.verb == "AUTH" || a.verb == "PASS") && a.nth == 1) return true;
            if (a.verb == "PASS" && (a.fault == Fault::CloseBefore || a.fault == Fault::ResetBefore ||
                                     a.fault == Fault::Silent || a.fault == Fault::Delay))
                return true;
        }
        return false;
    }

    // Whether local bytes are what the server holds, or what it sent in an
    // attempt whose size it never told and whose data ended normally.
    // A file that grew or was replaced is whole as any content it had.
    bool whole(const std::string& name, const std::string& local) const {
        // (Over SFTP a copy is whole as the file was at a listing.)
        const auto& known = sc_.sftp ? listed_ : versions_;
        auto it = known.find(name);
        if (it != known.end())
            for (auto& v : it->second)
                if (expect(v) == local) return true;
        if (sc_.sftp) {
            // A file the faults rewrote while it was read, to the size a
            // listing stated (a listing that told another size than the
            // file had): only a second look at its size and time can tell,
            // which verify and settle take; without them the copy the
            // server sent, at the stated size, is all the program can know.
            const auto told = stated_.find(name);
            return !sc_.verify && !sc_.settle && changed_.count(name) && told != stated_.end() &&
                   told->second.count(static_cast<std::int64_t>(local.size()));
        }
        // In ASCII a stated size counts the server's disk, not what comes:
        // no size can prove a copy, and one cut short by a server that
        // then ends the transfer normally is all the program can know of.
        if (sc_.ascii) {
            for (auto& a : server_.attempts)
                if (a.name == name && a.endedNormally && a.bytes == local) return true;
            return false;
        }
        // Verified by SIZE, a file cut with no size told never passes
        // (unless FEAT was refused: the server then offers nothing).
        if (sc_.verify && sc_.features > 0 && !featHit()) return false;
        for (auto& a : server_.attempts)
            if (a.name == name && a.told < 0 && a.endedNormally && a.bytes == local) return true;
        return false;
    }

    static bool saysClock(const std::string& line) {
        std::string l = line;
        for (auto& c : l) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return l.find("clock") != std::string::npos || l.find("future") != std::string::npos;
    }

    // A file dated in the future that a normal run did not move: the error
    // log must say why (it names the file, or says the clocks differ).
    bool futureExcused(const std::string& name) const {
        if (name != future_ || !sc_.settle) return false;
        for (auto& l : files::splitLines(errors()))
            if (l.find(future_) != std::string::npos || saysClock(l)) return true;
        return false;
    }

    void checkDownload(std::vector<std::string>& broken, bool final, std::map<std::string, int>& passes,
                       const std::set<std::string>& present) {
        for (auto& name : present) {
            // A cut download kept to be resumed is a true beginning of the
            // server's copy, and none is left once every file is whole.
            const std::string suffix = ".corvantel-part";
            if (sc_.resume && name.size() > suffix.size() + 2 && name[0] == '.' &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
                const std::string part = dir_.read("work/" + name);
                bool prefix = false;
                for (auto& [orig, vs] : versions_)
                    for (auto& v : vs) {
                        const std::string c = expect(v);
                        if (name.rfind("." + orig + ".", 0) == 0 && part.size() <= c.size() &&
                            c.compare(0, part.size(), part) == 0)
                            prefix = true;
                    }
                // Over SFTP a part cut from a copy replaced while it was read
                // holds both copies; it is harmless while the size its name
                // holds is not the server's (it is never resumed then).
                if (!prefix && sftp_) {
                    for (auto& [orig, vs] : versions_) {
                        const std::string lead = "." + orig + ".r";
                        const auto f = sftp_->files.find("/" + orig);
                        if (name.rfind(lead, 0) == 0 && f != sftp_->files.end() &&
                            name.compare(lead.size(), std::to_string(f->second.bytes.size()).size() + 1,
                                         std::to_string(f->second.bytes.size()) + "-") != 0)
                            prefix = true;
                    }
                }
                if (!prefix) broken.push_back("a kept partial file that is no beginning of its file: " + name);
                // A file dated ahead is left until it has been seen unchanged
                // for the settle time: its part waits for it.
                bool waits = false;
                for (auto& [orig, vs] : versions_)
                    if (name.rfind("." + orig + ".", 0) == 0 && futureExcused(orig)) waits = true;
                if (final && !waits) broken.push_back("a partial file left after a normal run: " + name);
                continue;
            }
            if (!originals_.count(name)) {
                broken.push_back("a file in the work directory the server never had: " + name);
                continue;
            }
            if (!whole(name, dir_.read("work/" + name)))
                broken.push_back(name + " is on disk but not whole (" + std::to_string(dir_.read("work/" + name).size()) +
                                 " of " + std::to_string(expect(originals_[name]).size()) + " bytes)");
            if (passes[name] == 0) broken.push_back(name + " is on disk without a pass");
        }
        for (auto& [name, n] : passes)
            if (n > 0 && !present.count(name)) broken.push_back(name + " passed but is not on disk");
        for (auto& c : sc_.sftp ? removals_ : server_.commands) {
            if (c.rfind("DELE ", 0) != 0) continue;
            const std::string name = c.substr(5);
            if (!sc_.deleteAfter) broken.push_back("DELE without the option: " + name);
            if (!present.count(name) || passes[name] == 0) broken.push_back("DELE of a file not proven: " + name);
        }
        if (final)
            for (auto& [name, c] : originals_)
                if (taken(sc_, name) && (!present.count(name) || !whole(name, dir_.read("work/" + name)))) {
                    if (!present.count(name) && futureExcused(name)) continue;
                    broken.push_back(name == future_ && sc_.settle && !present.count(name)
                                         ? "after a normal run, " + name + " (dated hours ahead) is skipped silently"
                                         : "after a normal run, " + name + " is not fetched whole");
                }
    }

    // The uploads passed since line from: the server holds each whole (a
    // later session may store it again, so each session's are checked
    // before the next one begins).
    void verifyStored(const std::vector<Line>& all, std::size_t from) {
        const auto& held = stored();
        for (std::size_t i = from; i < all.size(); ++i) {
            if (all[i].result != "pass") continue;
            const std::string& name = all[i].name;
            auto it = held.find(name);
            if (it == held.end() || it->second != originals_[name])
                storedBroken_.push_back(name + " passed but the server holds " +
                                        (it == held.end() ? std::string("nothing")
                                                                    : std::to_string(it->second.size()) + " bytes of " +
                                                                          std::to_string(originals_[name].size())));
        }
    }

    void checkUpload(std::vector<std::string>& broken, bool final, std::map<std::string, int>&,
                     const std::set<std::string>& present) {
        const auto all = lines();
        verifyStored(all, segments_.empty() ? 0 : segments_.back().second);
        broken.insert(broken.end(), storedBroken_.begin(), storedBroken_.end());
        storedBroken_.clear();
        std::map<std::string, int> passes;
        for (auto& l : all)
            if (l.result == "pass") ++passes[l.name];
        const auto& held = stored();
        for (auto& [name, c] : originals_) {
            if (!present.count(name)) {
                if (!sc_.deleteAfter || passes[name] == 0) broken.push_back("the local " + name + " is gone unproven");
            } else if (dir_.read("work/" + name) != c) {
                broken.push_back("the local " + name + " was changed");
            }
            const auto st = held.find(name);
            if (final && taken(sc_, name) && renamesWork() && (st == held.end() || st->second != c)) {
                const bool old = st != held.end() && old_.count(name) && st->second == old_[name];
                if ((st == held.end() || old) && futureExcused(name)) continue;
                broken.push_back(name == future_ && sc_.settle && st == held.end()
                                     ? "after a normal run, " + name + " (dated hours ahead) is skipped silently"
                                     : "after a normal run, " + name + " is not stored whole");
            }
        }
        for (auto& name : present)
            if (!originals_.count(name)) broken.push_back("a new file in the work directory: " + name);
        if (!sc_.tempName) return;
        // A server that renames nothing passes nothing, and the older copies
        // stay (one moved aside when the connection is lost mid-rename
        // takes its name back in a later run).
        if (!renamesWork() && !sc_.sftp)
            for (auto& [name, n] : passes)
                if (n > 0) broken.push_back(name + " passed though the server renames nothing");
        for (auto& [name, o] : old_)
            if (!held.count(name) && !renameHit()) broken.push_back("the server's " + name + " is gone");
        // After a normal run no temporary copy is left.
        if (final)
            for (auto& [name, c] : held)
                if (tempCopy(name) && !(renameHit() && endsWith(name, ".old.part")) && !deleteRefused())
                    broken.push_back("a temporary copy left after a normal run: " + name);
    }

    // The SFTP server: its files by "/" and name, the older copies on it,
    // and the hooks that play the scenario's faults and watch each change.
    void setupSftp() {
        sftp_ = std::make_shared<platform::fake::FakeSftpServer>();
        auto& sv = *sftp_;
        sv.user = "u";
        sv.password = "p";
        sv.posixRename = sc_.renames == 0;
        if (sc_.parallel > 1) sv.limit = sc_.serverLimit;
        const std::int64_t now = plat_.clock().utcSeconds();
        if (!sc_.upload)
            for (auto& [name, c] : originals_)
                sv.files["/" + name] = {c, name == recent_ ? now - 5 : name == future_ ? now + 3 * 3600 : 1'700'000'000};
        for (auto& [name, c] : old_) sv.files["/" + name] = {c};
        sv.arriving = [this](const std::string& call, const std::string& path, platform::SftpReply& r) {
            return arriving(call, path, r);
        };
        sv.fault = [this](const std::string& call, const std::string& path, platform::SftpReply& r) {
            return answered(call, path, r);
        };
        plat_.addSftpServer(22, sftp_);
        (sc_.upload ? app_->w.ai_usftp : app_->w.ai_dsftp).userChoose();
    }

    // What the server holds by name.
    const std::map<std::string, std::string>& stored() {
        if (!sftp_) return server_.stored;
        sftpStored_.clear();
        for (auto& [path, f] : sftp_->files) sftpStored_[path.substr(1)] = f.bytes;
        return sftpStored_;
    }

    // A call arrives: counted, noted as the matching FTP command for the
    // checks, and bent by the faults keyed to it that act before it.
    bool arriving(const std::string& call, const std::string& path, platform::SftpReply& r) {
        using platform::SftpStatus;
        auto& sv = *sftp_;
        if (call == "connect") {
            if (session() != connectSession_) connectSession_ = session(), ordinals_ = 0;
            ordinal_[sv.speaking] = ++ordinals_;
        }
        const int on = ordinal_[sv.speaking];
        noteSession(session());
        const std::string name = path.substr(1);
        if (call == "open-read" || call == "open-write")
            sessionCommands_.push_back({session(), (call == "open-read" ? "RETR " : "STOR ") + name});
        if (call == "remove") removals_.push_back("DELE " + name);
        if (!recent_.empty() && (call == "open-read" || call == "open-write") && stem("STOR " + name) == recent_ &&
            plat_.clock().utcSeconds() < recentUntil_)
            takenUnsettled_ = true;
        const int n = ++seen_[call], nOn = ++seenOn_[{on, call}];
        after_.clear();
        if (!faults_) return false;
        // The first temporary copy whose store ends is deleted, or replaced
        // by one of another size, as it ends.
        if (call == "close" && sc_.upload && !tampered_ && tempCopy(path) && sv.files.count(path)) {
            if (sc_.tempVanish) sv.files.erase(path);
            else if (sc_.tempReplaced) sv.files[path].bytes += "replaced";
            tampered_ = sc_.tempVanish || sc_.tempReplaced;
        }
        bool answer = false;
        for (auto& a : sc_.actions) {
            if (a.verb != call || (a.connection == 0 ? a.nth != n : a.connection != on || a.nth != nOn)) continue;
            if (a.fault == Fault::Silent && a.connection > 1 && silentCheck_ == nullptr) watchSilence();
            auto f = sv.files.find(path);
            switch (a.fault) {
                case Fault::Refuse: {
                    static const SftpStatus connects[] = {SftpStatus::ConnectFailed, SftpStatus::LoginRefused,
                                                          SftpStatus::NoSubsystem};
                    static const SftpStatus others[] = {SftpStatus::Failure, SftpStatus::PermissionDenied,
                                                        SftpStatus::NoSuchFile};
                    r.status = (call == "connect" ? connects : others)[a.arg % 3];
                    // (A file gone after it was read has changed.)
                    if (call == "stat" && r.status == SftpStatus::NoSuchFile) changed_.insert(name);
                    r.message = "refused";
                    answer = true;
                    break;
                }
                case Fault::Lost:
                    r.status = SftpStatus::Lost;
                    answer = true;
                    break;
                case Fault::KeyChanged:
                    sv.known = platform::fake::FakeSftpServer::Known::Changed;
                    sv.authenticated = false;
                    keyChanged_ = true;
                    break;
                case Fault::Grow:
                case Fault::Replace:
                    if (f == sv.files.end() || sc_.upload) break;
                    if (a.fault == Fault::Grow) {
                        f->second.bytes += content(sc_.seed ^ 0x6a09e667ULL, name, 1 + a.arg);
                    } else {
                        const auto was = static_cast<std::int64_t>(f->second.bytes.size());
                        const std::int64_t size = std::max<std::int64_t>(1, was * a.arg / 100);
                        f->second.bytes = content(sc_.seed ^ 0xbb67ae85ULL, name, size + (size == was));
                    }
                    f->second.mtime = plat_.clock().utcSeconds();
                    originals_[name] = f->second.bytes;
                    versions_[name].push_back(f->second.bytes);
                    changed_.insert(name);
                    break;
                case Fault::ShortReads: sv.readChunk = static_cast<std::size_t>(std::max(1, a.arg)); break;
                case Fault::Delay: sv.answerLatencyMs = a.arg; break;
                default:
                    if (a.fault == Fault::EarlyEof) changed_.insert(name);
                    after_.push_back(a);
                    break;
            }
        }
        return answer;
    }

    // A call is answered (once it took effect): the faults that act on the
    // answer, and the checks of what the server now holds.
    bool answered(const std::string& call, const std::string& path, platform::SftpReply& r) {
        using platform::SftpStatus;
        auto& sv = *sftp_;
        bool answer = true;
        for (auto& a : after_) {
            if (a.fault == Fault::LostAfter) r = platform::SftpReply(), r.status = SftpStatus::Lost;
            if (a.fault == Fault::Silent) answer = false;
            if (a.fault == Fault::EarlyEof && r.status == SftpStatus::Ok) r = platform::SftpReply(), r.status = SftpStatus::Eof;
            if (a.fault == Fault::SizesOff) {
                sizesOff_ = true;
                for (auto& e : r.entries)
                    if (e.size > 0 || a.arg % 2 == 0) e.size += a.arg % 2 ? -1 : 1;
            }
        }
        after_.clear();
        if (app_->trace)
            app_->trace("sftp #" + std::to_string(sv.speaking) + " " + call + " " + path + " -> " +
                        (answer ? std::to_string(static_cast<int>(r.status)) + " " + std::to_string(r.bytes.size()) +
                                      " bytes"
                                : std::string("(silent)")));
        // A changed key: nothing is offered, and the server lets no one in.
        if (call == "connect" && keyChanged_) {
            keyChanged_ = false;
            sv.known = platform::fake::FakeSftpServer::Known::Yes;
            if (sv.authenticated || r.status == SftpStatus::Ok) keyBroken_ = true;
            // (An answer that comes, and before the watchdog's bound.)
            keyRefused_ = keyRefused_ || (answer && sv.answerLatencyMs < 150000 && r.status == SftpStatus::HostKeyChanged);
        }
        if (call == "list" && r.status == SftpStatus::Ok) {
            for (auto& [p, f] : sv.files) {
                auto& l = listed_[p.substr(1)];
                if (l.empty() || l.back() != f.bytes) l.push_back(f.bytes);
            }
            for (auto& e : r.entries) stated_[e.name].insert(e.size);
        }
        if (!sc_.upload || !sc_.tempName) return answer;
        // The names this call touched hold their older copy or the whole
        // file, or are gone only where none stood before.
        const auto to = path.find(" /");
        for (const std::string& p : {path.substr(0, to), to == std::string::npos ? std::string() : path.substr(to + 1)}) {
            if (p.size() < 2 || tempCopy(p)) continue;
            watchStored(p.substr(1));
            if (old_.count(p.substr(1)) && !sv.files.count(p))
                storedBroken_.push_back("the server's " + p.substr(1) + " is gone after " + call);
        }
        return answer;
    }

    std::shared_ptr<platform::fake::FakeSftpServer> sftp_;
    std::map<std::string, std::string> sftpStored_;
    // Each connection's place in its session (by the server's count).
    std::map<int, int> ordinal_;
    int connectSession_ = -1, ordinals_ = 0;
    std::vector<Action> after_;  // the faults that act on the answer
    std::vector<std::string> removals_;
    // Every content each file had when the server listed it.
    std::map<std::string, std::vector<std::string>> listed_;
    // The sizes the listings stated, by name.
    std::map<std::string, std::set<std::int64_t>> stated_;
    std::set<std::string> changed_;  // changed while the faults lasted
    bool sizesOff_ = false, keyChanged_ = false, keyBroken_ = false, keyRefused_ = false;

    const Scenario& sc_;
    Rng wire_;
    platform::fake::FakePlatform plat_;
    // Many short runs: their files live in memory where the machine has it.
    testing::TempDir dir_{std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : ""};
    std::unique_ptr<App> app_;
    testing::FakeFtpServer server_{plat_};
    std::string work_;
    std::string* record_ = nullptr;
    std::string stamp() const { return std::to_string(plat_.nowMs()); }
    // The session a command belongs to, as the program counts them: a
    // further connection that reaches the server after the first one was
    // cut still belongs to the first one's session.
    int session() const { return static_cast<int>(app_->s.sessionsBegun); }
    std::map<std::string, std::string> originals_;
    std::map<std::string, std::string> old_;  // the server's older copies
    bool tampered_ = false;
    std::map<std::string, int> seen_;
    std::map<std::pair<int, std::string>, int> seenOn_;
    // A further connection fell silent: what the others had done by the
    // time its watchdog could first have ended it.
    std::unique_ptr<platform::Timer> silentCheck_;
    std::size_t verdictsWhileSilent_ = 0, silentFrom_ = 0;
    bool silentChecked_ = false;
    std::vector<std::pair<int, std::string>> sessionCommands_;
    std::string stuck_;
    bool faults_ = true;
    std::vector<std::string> storedBroken_;
    std::string recent_;
    std::string future_;   // the file dated hours ahead
    std::string growing_;  // the file that grows
    bool growPending_ = false, grown_ = false;
    // Every content each file had on the server, the first one first.
    std::map<std::string, std::vector<std::string>> versions_;
    std::int64_t recentUntil_ = 0;  // when it has settled (seconds, UTC)
    bool takenUnsettled_ = false;
    int lastSession_ = 0;
    // Where each session's verdicts begin in the log.
    std::vector<std::pair<int, std::size_t>> segments_;
    std::vector<std::shared_ptr<platform::fake::Peer>> strangers_;
};

std::vector<std::string> verbsOf(const Scenario& sc) {
    std::vector<std::string> v = {"USER", "PASS", "CWD", "PWD", "TYPE", sc.nlst ? "NLST" : "LIST", "REST"};
    v.push_back(sc.passive ? (sc.epsv != Epsv::Works ? "PASV" : "EPSV") : "PORT");
    if (sc.tls) v.insert(v.end(), {"AUTH", "PBSZ", "PROT"});
    if (sc.upload) {
        v.insert(v.end(), {"STOR", "STOR", "STOR"});
    } else {
        v.insert(v.end(), {"RETR", "RETR", "RETR"});
        if (sc.deleteAfter) v.push_back("DELE");
    }
    if (sc.verify || sc.resume || sc.settle) {
        v.insert(v.end(), {"FEAT", "SIZE", "SIZE"});
        if (sc.features == 2) v.insert(v.end(), {"MDTM", "HASH", "OPTS"});
        if (sc.features == 3) v.push_back("XSHA1");
    }
    return v;
}

}  // namespace

Scenario drawBefore(std::uint64_t seed, bool oneConnection);

// Uploads under a temporary name, from an eighth stream drawn last (the
// rest of a seed's scenario stays as it was drawn before them): the option
// and the server's ways with it, and faults on the commands it adds.
void drawTempNames(std::uint64_t seed, Scenario& sc) {
    Rng e(seed ^ 0xA0761D6478BD642FULL);
    if (!sc.upload || !e.chance(45)) return;
    sc.tempName = true;
    sc.resume = e.chance(40);
    const int way = e.below(10);
    sc.renames = way < 5 ? 0 : way < 7 ? 1 : way - 6;
    sc.oldCopies = e.chance(50);
    sc.tempVanish = e.chance(12);
    // (Only a size told can find a copy replaced after its store.)
    sc.tempReplaced = !sc.tempVanish && sc.verify && sc.features != 0 && !sc.ascii && e.chance(15);
    std::vector<std::string> verbs = {"RNFR", "RNTO", "DELE", "SIZE"};
    if (sc.resume) {
        if (sc.features == 0) sc.features = e.below(4);
        sc.restIgnored = e.chance(20);
        sc.appeRefused = e.chance(20);
        verbs.push_back("APPE");
        if (!sc.ascii && e.chance(70)) sc.actions.push_back({"STOR", 1, Fault::DataReset, 10 + e.below(80)});
    }
    if (sc.actions.empty() && e.chance(60)) return;
    const int k = e.below(3);
    for (int i = 0; i < k; ++i) {
        Action a{e.pick(verbs), 1 + e.below(3)};
        a.fault = e.pick(std::vector<Fault>{Fault::Refuse, Fault::CloseBefore, Fault::ResetBefore, Fault::CloseAfter,
                                            Fault::ResetAfter, Fault::Delay, Fault::Silent});
        a.arg = a.fault == Fault::Delay ? 10 + e.below(12000) : e.below(8);
        sc.actions.push_back(a);
    }
}

// SFTP, from a ninth stream drawn last: about three scenarios in ten run
// their job over SFTP, with what FTP alone has left out and the faults
// drawn anew on the calls.
void drawSftp(std::uint64_t seed, Scenario& sc) {
    Rng f(seed ^ 0x8C2F5B1E4D7A9361ULL);
    if (!f.chance(30)) return;
    const Scenario ftp = sc;
    Scenario plain;
    sc = plain;
    sc.seed = seed;
    sc.sftp = true;
    sc.upload = ftp.upload;
    sc.quick = ftp.quick;
    sc.retries = ftp.retries;
    sc.deleteAfter = ftp.deleteAfter;
    sc.dupe = ftp.dupe;
    sc.verify = ftp.verify;
    sc.resume = ftp.resume;
    sc.settle = ftp.settle;
    sc.futureTime = ftp.futureTime;
    sc.parallel = ftp.parallel;
    sc.serverLimit = ftp.serverLimit;
    sc.tempName = ftp.tempName;
    sc.oldCopies = ftp.oldCopies;
    sc.tempVanish = ftp.tempVanish;
    sc.tempReplaced = ftp.tempName && !ftp.tempVanish && f.chance(15);
    sc.renames = ftp.tempName && f.chance(25) ? 1 : 0;
    sc.pattern = ftp.pattern;
    sc.files = ftp.files;
    if (f.chance(33)) return;
    const int n = static_cast<int>(sc.files.size());
    std::vector<std::string> calls = {"connect", "list", "open-read", "read", "read", "close"};
    if (sc.upload) calls = {"connect", "open-write", "write", "write", "close", "stat"};
    if (sc.upload && sc.tempName) calls.insert(calls.end(), {"rename", "rename", "remove"});
    if (!sc.upload && (sc.verify || sc.settle)) calls.push_back("stat");
    if (!sc.upload && sc.deleteAfter) calls.push_back("remove");
    const bool keyed = sc.parallel > 1 && f.chance(40);
    // Reads in short pieces make the faults on reads land mid-file.
    if (!sc.upload && f.chance(25)) sc.actions.push_back({"read", 1, Fault::ShortReads, 64 + f.below(2000)});
    const int k = 1 + f.below(4);
    for (int i = 0; i < k; ++i) {
        Action a;
        a.verb = f.pick(calls);
        const bool again = i > 0 && f.chance(30);
        if (again) a.verb = sc.actions.back().verb;
        const bool perFile = a.verb != "connect" && a.verb != "list";
        a.nth = 1 + (a.verb == "read" || a.verb == "write" ? f.below(2 * std::min(n, 8) + 2)
                     : perFile                            ? f.below(std::min(n, 8) + 1)
                                                          : f.below(2));
        if (again) a.nth = sc.actions.back().nth;
        std::vector<Fault> fit = {Fault::Refuse, Fault::Lost, Fault::Lost, Fault::Delay, Fault::Silent};
        if (a.verb == "write" || a.verb == "rename" || a.verb == "remove" || a.verb == "close")
            fit.insert(fit.end(), {Fault::LostAfter, Fault::LostAfter});
        if (a.verb == "read")
            fit.insert(fit.end(), {Fault::EarlyEof, Fault::Grow, Fault::Replace, Fault::ShortReads, Fault::ShortReads});
        if (a.verb == "open-read") fit.insert(fit.end(), {Fault::Grow, Fault::Replace});
        if (a.verb == "list") fit.insert(fit.end(), {Fault::SizesOff, Fault::SizesOff});
        if (a.verb == "connect") fit.insert(fit.end(), {Fault::KeyChanged, Fault::KeyChanged, Fault::KeyChanged});
        a.fault = f.pick(fit);
        switch (a.fault) {
            case Fault::Delay: a.arg = f.chance(15) ? 150000 + f.below(200000) : 10 + f.below(12000); break;
            case Fault::Grow: a.arg = f.below(3000); break;
            case Fault::Replace: a.arg = 1 + f.below(199); break;
            case Fault::ShortReads: a.arg = f.chance(30) ? 64 + f.below(64) : 512 + f.below(16000); break;
            default: a.arg = f.below(8); break;
        }
        if (keyed && f.chance(60)) a.connection = 1 + f.below(sc.parallel);
        sc.actions.push_back(a);
    }
}

Scenario draw(std::uint64_t seed, bool oneConnection) {
    Scenario sc = drawBefore(seed, oneConnection);
    drawTempNames(seed, sc);
    drawSftp(seed, sc);
    return sc;
}

Scenario drawBefore(std::uint64_t seed, bool oneConnection) {
    Rng r(seed);
    Scenario sc;
    sc.seed = seed;
    sc.upload = r.chance(35);
    sc.nlst = r.chance(60);
    sc.passive = r.chance(50);
    // How EPSV fails, from a stream of its own (the rest of a seed's
    // scenario stays as it was drawn when EPSV could only be refused).
    if (sc.passive && r.chance(30))
        sc.epsv = static_cast<Epsv>(1 + Rng(seed ^ 0xd1b54a32d192ed03ULL).below(static_cast<int>(Epsv::Count) - 1));
    sc.quick = r.chance(50);
    sc.tls = r.chance(20);
    sc.retries = r.below(4);
    sc.deleteAfter = r.chance(40);
    sc.dupe = r.chance(70);
    sc.lf = r.chance(20);
    sc.split = r.chance(30);
    sc.coalesce = r.chance(30);
    sc.multiLine = r.chance(20);
    sc.noise = r.chance(15);
    sc.repeatGreeting = r.chance(10);
    sc.connectAtPort = !sc.passive && r.chance(20);
    sc.listsEverything = r.chance(30);
    sc.blockAfterPassive = sc.passive && r.chance(30);
    sc.pattern = r.pick(std::vector<std::string>{"*.jpg", "*.jpg", "?.jpg", "a*.jpg", "*"});
    const int n = r.chance(5) ? 20 + r.below(180) : 1 + r.below(6);
    const std::vector<std::string> extra = sc.upload
        ? std::vector<std::string>{"x.jpg", "notes.txt.bak", "b.TXT"}
        : std::vector<std::string>{"notes_jpg.txt", "a.jpg.part", ".hidden.jpg", "b.JPG"};
    for (int i = 0; i < n; ++i) {
        std::string name = (i % 3 == 0 ? "a" : i % 3 == 1 ? "p" : "my photo ") + std::to_string(i) + (sc.upload ? ".txt" : ".jpg");
        if (i < 9 && r.chance(20)) name = std::string(1, static_cast<char>('a' + i)) + (sc.upload ? ".txt" : ".jpg");
        const std::int64_t size = r.chance(10) ? 0 : r.chance(10) ? 20000 + r.below(80000) : 1 + r.below(5000);
        sc.files.push_back({name, size});
    }
    if (r.chance(50)) sc.files.push_back({r.pick(extra), 1 + r.below(3000)});
    // Proven transfers, from a stream of their own (the rest of a seed's
    // scenario stays as it was drawn before they existed).
    Rng p(seed ^ 0x9e3779b97f4a7c15ULL);
    sc.verify = p.chance(25);
    sc.resume = !sc.upload && p.chance(20);
    sc.features = sc.verify || sc.resume ? p.below(4) : 0;
    sc.settle = p.chance(15);
    if (sc.settle) sc.features = 2;
    // What real servers do besides, from a third stream.
    Rng q(seed ^ 0x2545F4914F6CDD1DULL);
    sc.ascii = q.chance(20);
    sc.replyStyle = q.chance(40) ? 1 + q.below(3) : 0;
    sc.login = q.chance(30) ? 1 + q.below(4) : 0;
    if (sc.resume) {
        sc.restIgnored = q.chance(20);
        sc.restRefusedAtRetr = !sc.restIgnored && q.chance(20);
        sc.replaced = q.chance(30);
    }
    sc.futureTime = (sc.settle && q.chance(25)) || (sc.resume && q.chance(15));
    sc.growing = !sc.upload && q.chance(12) ? 1 + q.below(2) : 0;
    Rng d(seed ^ 0x94D049BB133111EBULL);
    sc.strangers = !sc.passive && d.chance(20);
    Rng m(seed ^ 0xD6E8FEB86659FD93ULL);
    sc.parallel = m.chance(40) ? 2 + m.below(3) : 1;
    sc.serverLimit = sc.parallel > 1 && m.chance(30) ? 1 + m.below(sc.parallel) : 0;
    if (oneConnection) sc.parallel = 1, sc.serverLimit = 0;
    // Hostile names: digits in parentheses and blanks, "(N bytes)" in the
    // name itself, UTF-8, a leading "-", the words and numbers the program
    // uses for itself (most without ".jpg": they matter under "*"), and
    // names that begin or end others.
    const std::string ext = sc.upload ? ".txt" : ".jpg";
    struct Hostile {
        std::vector<std::string> names;
        std::int64_t least;  // more bytes than the number in the name
    };
    const std::vector<Hostile> hostile = {
        {{"scan (1024)" + ext}, 1025},       {{"IMG_0001 (1)" + ext}, 2},      {{"(7 bytes)" + ext}, 8},
        {{"caf\xc3\xa9" + ext}, 1},          {{"-x" + ext}, 1},                  {{"a" + ext, "aa" + ext, "a" + ext + ext}, 1},
        {{"done" + ext}, 1},                   {{"226" + ext}, 1},
    };
    const std::vector<Hostile> internal = {
        {{"done"}, 1}, {{"notdone"}, 1}, {{"226"}, 1}, {{"150"}, 1}, {{"CDR_0001.dat"}, 1}, {{"GW2_0001.dat"}, 1},
        {{"xthisidiot"}, 1}, {{"Unknown File Size"}, 1}, {{"notes (7 bytes)"}, 8},
    };
    // The resume bugs (and ASCII resumes) show only with a kept partial
    // file: often the first RETR is cut.
    const bool cut =
        sc.resume && !sc.upload && (sc.restIgnored || sc.restRefusedAtRetr || sc.replaced || sc.ascii) && q.chance(60);
    const Action cutRetr{"RETR", 1, Fault::DataReset, 10 + q.below(80)};
    const bool all = !sc.upload && sc.pattern == "*";
    if (q.chance(all ? 70 : 35)) {
        const int k = 1 + q.below(3);
        for (int i = 0; i < k; ++i) {
            const Hostile& h = all && q.chance(60) ? q.pick(internal) : q.pick(hostile);
            for (auto& name : h.names) {
                bool dup = false;
                for (auto& f : sc.files) dup = dup || f.name == name;
                if (!dup) sc.files.push_back({name, h.least + q.below(3000)});
            }
        }
    }
    // Waits held by lines that answer nothing, floods of such lines, and
    // the longest patience for a checksum, from a fourth stream.
    Rng t(seed ^ 0xBF58476D1CE4E5B9ULL);
    std::vector<Action> held;
    sc.longPatience = sc.verify && t.chance(40);
    if (t.chance(8)) {
        static const std::vector<std::string> questions = {"FEAT", "SIZE", "MDTM", "HASH", "XSHA1", "OPTS", "REST"};
        const auto verbs = verbsOf(sc);
        std::vector<std::string> asked;
        for (auto& v : verbs)
            if (std::find(questions.begin(), questions.end(), v) != questions.end()) asked.push_back(v);
        const std::string verb = !asked.empty() && t.chance(60) ? t.pick(asked) : t.pick(verbs);
        held.push_back({verb, 1 + t.below(isTransfer(verb) ? std::min(n, 4) : 2), Fault::Hold, 1000 + t.below(9000)});
    }
    if (t.chance(8)) {
        // (Bytes behind the answer to AUTH are a fault of their own: the
        // session fails before the TLS handshake.)
        std::string verb = t.pick(verbsOf(sc));
        if (verb == "AUTH") verb = "PBSZ";
        held.push_back({verb, 1 + t.below(isTransfer(verb) ? std::min(n, 4) : 2), Fault::Flood,
                        t.chance(40) ? 1 + t.below(300) : 300 + t.below(30000)});
    }
    // With more connections, from a seventh stream: faults keyed to one
    // connection, and a further connection that falls silent alone.
    Rng c(seed ^ 0x2545F4914F6CDD1DULL);
    const bool keyed = sc.parallel > 1 && c.chance(40);
    const bool silentFurther = sc.parallel > 1 && c.chance(20);
    // A third of the scenarios are well behaved; the rest carry faults.
    if (r.chance(33)) {
        if (silentFurther) {
            static const std::vector<std::string> verbs = {"USER", "PASS", "CWD", "TYPE", "RETR"};
            std::string verb = c.pick(verbs);
            if (verb == "RETR" && sc.upload) verb = "STOR";
            sc.actions.push_back({verb, 1 + c.below(2), Fault::Silent, 0, 2 + c.below(sc.parallel - 1)});
        }
        if (cut) sc.actions.push_back(cutRetr);
        sc.actions.insert(sc.actions.end(), held.begin(), held.end());
        return sc;
    }
    const auto verbs = verbsOf(sc);
    const int k = 1 + r.below(4);
    for (int i = 0; i < k; ++i) {
        Action a;
        a.verb = r.pick(verbs);
        // Faults often come together on one command (no size told, a slow
        // trickle, then the connection lost).
        const bool again = i > 0 && r.chance(50);
        if (again) a.verb = sc.actions.back().verb;
        const bool transfer = isTransfer(a.verb);
        a.nth = 1 + (a.verb == "RETR" || a.verb == "STOR" || a.verb == "TYPE" || a.verb == "REST" || a.verb == "EPSV" ||
                             a.verb == "PASV" || a.verb == "PORT"
                         ? r.below(std::min(n, 8) + 1)
                         : r.below(2));
        if (again) a.nth = sc.actions.back().nth;
        std::vector<Fault> fit = {Fault::Refuse, Fault::CloseBefore, Fault::ResetBefore, Fault::CloseAfter,
                                  Fault::ResetAfter, Fault::Delay, Fault::Silent};
        if (transfer)
            fit.insert(fit.end(), {Fault::Finish, Fault::DataShort, Fault::DataReset, Fault::DataNever, Fault::DataFirst,
                                   Fault::DataAfter, Fault::Trickle, Fault::SecondPrelim, Fault::Refuse, Fault::Trickle,
                                   Fault::NoFinal});
        if (a.verb == "RETR") fit.insert(fit.end(), {Fault::SizeUntold, Fault::SizeWrong, Fault::DataLong});
        a.fault = r.pick(fit);
        switch (a.fault) {
            case Fault::Delay: a.arg = r.chance(15) ? 150000 + r.below(200000) : 10 + r.below(12000); break;
            case Fault::Trickle: a.arg = 10 + r.below(3000); break;
            case Fault::DataShort: case Fault::DataReset: a.arg = r.below(100); break;
            case Fault::DataLong: a.arg = r.below(500); break;
            case Fault::CloseAfter: case Fault::ResetAfter: a.arg = r.chance(50) ? 0 : 1 + r.below(3000); break;
            default: a.arg = r.below(8); break;
        }
        if (keyed && c.chance(60)) a.connection = 1 + c.below(sc.parallel);
        sc.actions.push_back(a);
    }
    sc.checksumLie = sc.verify && sc.features >= 2 && p.chance(15);
    if (cut) sc.actions.push_back(cutRetr);
    sc.actions.insert(sc.actions.end(), held.begin(), held.end());
    return sc;
}

std::vector<std::string> check(const Scenario& sc, bool trace) {
    std::vector<std::string> broken;
    std::vector<Line> first;
    auto key = [](std::vector<Line> v) {
        std::vector<std::string> k;
        for (auto& l : v) k.push_back(l.name + " " + l.result);
        std::sort(k.begin(), k.end());
        return k;
    };
    {
        Player p(sc, trace);
        broken = p.run();
        first = p.firstLines_;
    }
    // The same faults give the same verdicts whether the waits are quick or
    // not (where the faults do not depend on time).
    if (broken.empty() && !sc.actions.empty() && timingFree(sc)) {
        Scenario other = sc;
        other.quick = !sc.quick;
        Player p(other, false);
        auto b = p.run();
        if (b.empty() && key(first) != key(p.firstLines_))
            broken.push_back(std::string("the verdicts differ with quick waits ") + (other.quick ? "on" : "off"));
        for (auto& x : b) broken.push_back(std::string("with quick waits ") + (other.quick ? "on: " : "off: ") + x);
    }
    // More connections give the verdicts one connection gives, where time
    // plays no part and the faults hit only the first connection before its
    // files begin (later, which connection meets the nth command is timing).
    auto beforeFiles = [](const Action& a) {
        static const std::set<std::string> verbs = {"USER", "PASS", "CWD", "PWD", "NLST", "LIST"};
        return verbs.count(a.verb) && a.nth == 1 && a.connection <= 1;
    };
    // (The server's deleting or replacing the first temporary copy stored
    // hits another file when more connections store side by side.)
    if (broken.empty() && sc.parallel > 1 && !sc.tempVanish && !sc.tempReplaced &&
        std::all_of(sc.actions.begin(), sc.actions.end(), beforeFiles)) {
        Scenario one = sc;
        one.parallel = 1;
        one.serverLimit = 0;
        for (auto& a : one.actions) a.connection = 0;
        if (timingFree(one)) {
            Player p(one, false);
            auto b = p.run();
            if (b.empty() && key(first) != key(p.firstLines_))
                broken.push_back("the verdicts differ from one connection's");
            for (auto& x : b) broken.push_back("with one connection: " + x);
        }
    }
    // A lost control connection is the same fault whether it ends with FIN
    // or with a reset.
    Scenario swapped = sc;
    bool control = false;
    for (auto& a : swapped.actions) {
        const auto f = a.fault;
        a.fault = f == Fault::CloseBefore ? Fault::ResetBefore : f == Fault::ResetBefore ? Fault::CloseBefore
                : f == Fault::CloseAfter  ? Fault::ResetAfter  : f == Fault::ResetAfter  ? Fault::CloseAfter : f;
        control = control || a.fault != f;
    }
    if (broken.empty() && control) {
        Player p(swapped, false);
        auto b = p.run();
        if (b.empty() && key(first) != key(p.firstLines_)) broken.push_back("the verdicts differ when FIN and reset trade places");
        for (auto& x : b) broken.push_back("with FIN and reset traded: " + x);
    }
    return broken;
}

std::string wire(std::uint64_t seed) {
    // The dialogue of one connection per job.
    Scenario sc = drawBefore(seed, true);
    std::string out = row(sc) + "\n";
    Player p(sc, false);
    p.record(&out);
    for (auto& b : p.run()) out += "broken: " + b + "\n";
    p.recordEnd();
    return out;
}

Scenario shrink(const Scenario& failing) {
    Scenario best = failing;
    auto fails = [](const Scenario& s) { return !check(s).empty(); };
    bool progress = true;
    while (progress) {
        progress = false;
        std::vector<Scenario> tries;
        for (std::size_t i = 0; i < best.actions.size(); ++i) {
            Scenario t = best;
            t.actions.erase(t.actions.begin() + static_cast<std::ptrdiff_t>(i));
            tries.push_back(t);
        }
        for (std::size_t i = 0; i < best.files.size() && best.files.size() > 1; ++i) {
            Scenario t = best;
            t.files.erase(t.files.begin() + static_cast<std::ptrdiff_t>(i));
            tries.push_back(t);
        }
        auto flip = [&](bool Scenario::*f, bool plain) {
            if (best.*f == plain) return;
            Scenario t = best;
            t.*f = plain;
            tries.push_back(t);
        };
        for (auto f : {&Scenario::lf,
                       &Scenario::split,
                       &Scenario::coalesce,
                       &Scenario::multiLine,
                       &Scenario::noise,
                       &Scenario::repeatGreeting,
                       &Scenario::connectAtPort,
                       &Scenario::listsEverything,
                       &Scenario::blockAfterPassive,
                       &Scenario::tls,
                       &Scenario::deleteAfter,
                       &Scenario::checksumLie,
                       &Scenario::resume,
                       &Scenario::verify,
                       &Scenario::settle,
                       &Scenario::ascii,
                       &Scenario::restIgnored,
                       &Scenario::restRefusedAtRetr,
                       &Scenario::replaced,
                       &Scenario::futureTime,
                       &Scenario::longPatience,
                       &Scenario::strangers,
                       &Scenario::oldCopies,
                       &Scenario::tempVanish,
                       &Scenario::tempReplaced,
                       &Scenario::appeRefused})
            flip(f, false);
        for (auto f :
             {&Scenario::replyStyle, &Scenario::login, &Scenario::growing, &Scenario::serverLimit, &Scenario::renames})
            if (best.*f != 0) {
                Scenario t = best;
                t.*f = 0;
                tries.push_back(t);
            }
        flip(&Scenario::dupe, true);
        // EPSV working, else plainly refused.
        for (auto e : {Epsv::Works, Epsv::Refused500})
            if (best.epsv > e) {
                Scenario t = best;
                t.epsv = e;
                tries.push_back(t);
            }
        if (best.retries > 0) {
            Scenario t = best;
            t.retries = 0;
            tries.push_back(t);
        }
        for (std::size_t i = 0; i < best.files.size(); ++i)
            if (best.files[i].size > 100) {
                Scenario t = best;
                t.files[i].size = 100;
                tries.push_back(t);
            }
        for (auto& t : tries)
            if (fails(t)) {
                best = t;
                progress = true;
                break;
            }
    }
    return best;
}

std::string row(const Scenario& sc) {
    std::ostringstream o;
    const Scenario d;
    o << "{.seed = " << sc.seed;
    auto b = [&](const char* n, bool v, bool def) {
        if (v != def) o << ", ." << n << " = " << (v ? "true" : "false");
    };
    b("upload", sc.upload, d.upload);
    b("nlst", sc.nlst, d.nlst);
    b("passive", sc.passive, d.passive);
    if (sc.epsv != d.epsv) o << ", .epsv = Epsv::" << epsvNames[static_cast<int>(sc.epsv)];
    b("quick", sc.quick, d.quick);
    b("tls", sc.tls, d.tls);
    if (sc.retries) o << ", .retries = " << sc.retries;
    b("deleteAfter", sc.deleteAfter, d.deleteAfter);
    b("dupe", sc.dupe, d.dupe);
    b("lf", sc.lf, d.lf);
    b("split", sc.split, d.split);
    b("coalesce", sc.coalesce, d.coalesce);
    b("multiLine", sc.multiLine, d.multiLine);
    b("noise", sc.noise, d.noise);
    b("repeatGreeting", sc.repeatGreeting, d.repeatGreeting);
    b("connectAtPort", sc.connectAtPort, d.connectAtPort);
    b("listsEverything", sc.listsEverything, d.listsEverything);
    b("blockAfterPassive", sc.blockAfterPassive, d.blockAfterPassive);
    b("verify", sc.verify, d.verify);
    b("resume", sc.resume, d.resume);
    if (sc.features) o << ", .features = " << sc.features;
    b("checksumLie", sc.checksumLie, d.checksumLie);
    b("settle", sc.settle, d.settle);
    b("ascii", sc.ascii, d.ascii);
    if (sc.replyStyle) o << ", .replyStyle = " << sc.replyStyle;
    if (sc.login) o << ", .login = " << sc.login;
    b("restIgnored", sc.restIgnored, d.restIgnored);
    b("restRefusedAtRetr", sc.restRefusedAtRetr, d.restRefusedAtRetr);
    b("replaced", sc.replaced, d.replaced);
    b("futureTime", sc.futureTime, d.futureTime);
    if (sc.growing) o << ", .growing = " << sc.growing;
    b("longPatience", sc.longPatience, d.longPatience);
    b("strangers", sc.strangers, d.strangers);
    if (sc.parallel != 1) o << ", .parallel = " << sc.parallel;
    if (sc.serverLimit) o << ", .serverLimit = " << sc.serverLimit;
    b("tempName", sc.tempName, d.tempName);
    if (sc.renames) o << ", .renames = " << sc.renames;
    b("oldCopies", sc.oldCopies, d.oldCopies);
    b("tempVanish", sc.tempVanish, d.tempVanish);
    b("tempReplaced", sc.tempReplaced, d.tempReplaced);
    b("appeRefused", sc.appeRefused, d.appeRefused);
    b("sftp", sc.sftp, d.sftp);
    if (sc.pattern != d.pattern) o << ", .pattern = \"" << sc.pattern << "\"";
    o << ", .files = {";
    for (std::size_t i = 0; i < sc.files.size(); ++i)
        o << (i ? ", " : "") << "{\"" << sc.files[i].name << "\", " << sc.files[i].size << "}";
    o << "}";
    if (!sc.actions.empty()) {
        o << ", .actions = {";
        for (std::size_t i = 0; i < sc.actions.size(); ++i) {
            auto& a = sc.actions[i];
            o << (i ? ", " : "") << "{\"" << a.verb << "\", " << a.nth << ", Fault::"
              << faultNames[static_cast<int>(a.fault)] << ", " << a.arg;
            if (a.connection) o << ", " << a.connection;
            o << "}";
        }
        o << "}";
    }
    o << "}";
    return o.str();
}

int runSeeds(std::uint64_t from, std::uint64_t count, bool progress, int maxFailures, bool sftpOnly) {
    int failures = 0;
    std::uint64_t ran = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t seed = from + i;
        const Scenario sc = draw(seed);
        // Only the SFTP scenarios, each under the seed that replays it.
        const bool runs = !sftpOnly || sc.sftp;
        if (runs) ++ran;
        const auto broken = runs ? check(sc) : std::vector<std::string>{};
        if (!broken.empty()) {
            ++failures;
            std::printf("FAIL seed %llu (replay: scripts/simulate --seeds 1 --from %llu)\n",
                        static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));
            for (auto& b : broken) std::printf("  %s\n", b.c_str());
            const Scenario small = shrink(sc);
            std::printf("  shrunk: %s\n", row(small).c_str());
            for (auto& b : check(small)) std::printf("    %s\n", b.c_str());
            std::fflush(stdout);
            if (failures >= maxFailures) break;
        }
        if (progress && (i + 1) % 1000 == 0) {
            std::printf("%llu seeds from %llu, %llu run: %d failing\n", static_cast<unsigned long long>(i + 1),
                        static_cast<unsigned long long>(from), static_cast<unsigned long long>(ran), failures);
            std::fflush(stdout);
        }
    }
    if (progress)
        std::printf("%llu seeds from %llu, %llu run\n", static_cast<unsigned long long>(count),
                    static_cast<unsigned long long>(from), static_cast<unsigned long long>(ran));
    return failures;
}

}  // namespace corvantel::sim
