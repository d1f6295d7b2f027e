#include "app/verify.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <limits>

#include "app/app_state.h"
#include "app/text.h"
#include "app/waits.h"

namespace corvantel {

using platform::HashKind;

namespace {

std::string upper(std::string t) {
    for (char& c : t) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return t;
}

// The algorithm a HASH name stands for ("SHA-256", "SHA256", ...).
HashKind hashByName(std::string name) {
    name = upper(name);
    std::string plain;
    for (char c : name)
        if (c != '-') plain += c;
    if (plain == "CRC32") return HashKind::Crc32;
    if (plain == "MD5") return HashKind::Md5;
    if (plain == "SHA1") return HashKind::Sha1;
    if (plain == "SHA256") return HashKind::Sha256;
    if (plain == "SHA512") return HashKind::Sha512;
    return HashKind::None;
}

const char* hashName(HashKind kind) {
    switch (kind) {
        case HashKind::Crc32: return "CRC32";
        case HashKind::Md5: return "MD5";
        case HashKind::Sha1: return "SHA-1";
        case HashKind::Sha256: return "SHA-256";
        case HashKind::Sha512: return "SHA-512";
        default: return "";
    }
}

const char* xCommand(HashKind kind) {
    switch (kind) {
        case HashKind::Crc32: return "XCRC";
        case HashKind::Md5: return "XMD5";
        case HashKind::Sha1: return "XSHA1";
        case HashKind::Sha256: return "XSHA256";
        case HashKind::Sha512: return "XSHA512";
        default: return "";
    }
}

bool isHex(const std::string& t) {
    if (t.empty()) return false;
    for (char c : t)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::string w;
    for (char c : line) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!w.empty()) out.push_back(w);
            w.clear();
        } else {
            w += c;
        }
    }
    if (!w.empty()) out.push_back(w);
    return out;
}

// The text of a positive "213" reply after its code: of its last line,
// which carries it in the multi-line form too.
std::optional<std::string> text213(const std::string& reply) {
    if (reply.size() < 4 || reply.compare(0, 3, "213") != 0) return std::nullopt;
    const auto lines = platform::files::splitLines(reply);
    if (lines.empty() || lines.back().size() < 4 || lines.back().compare(0, 4, "213 ") != 0) return std::nullopt;
    std::string t = lines.back().substr(4);
    while (!t.empty() && t.back() == ' ') t.pop_back();
    return t;
}

}  // namespace

ServerFeatures parseFeatures(const std::string& reply) {
    ServerFeatures f;
    if (reply.size() < 3 || reply[0] != '2') return f;
    for (const auto& line : platform::files::splitLines(reply)) {
        const auto w = words(line);
        if (w.empty()) continue;
        // The first line and the last carry the code; features stand alone.
        const std::string name = upper(w[0]);
        if (name == "SIZE") f.size = true;
        else if (name == "MDTM") f.mdtm = true;
        else if (name == "REST") f.rest = true;
        else if (name == "HASH" && w.size() >= 2) {
            // "HASH SHA-1;SHA-256*;MD5": the selected one carries a "*".
            std::string list = w[1];
            std::size_t b = 0;
            while (b <= list.size()) {
                std::size_t e = list.find(';', b);
                if (e == std::string::npos) e = list.size();
                std::string item = list.substr(b, e - b);
                const bool selected = !item.empty() && item.back() == '*';
                if (selected) item.pop_back();
                const HashKind k = hashByName(item);
                if (k != HashKind::None) {
                    f.hashOffered.push_back(k);
                    if (selected) f.hashSelected = k;
                }
                b = e + 1;
            }
        } else {
            for (HashKind k : {HashKind::Crc32, HashKind::Md5, HashKind::Sha1, HashKind::Sha256, HashKind::Sha512})
                if (name == xCommand(k)) f.xOffered.push_back(k);
        }
    }
    return f;
}

HashPlan chooseHash(const ServerFeatures& f) {
    HashPlan p;
    for (HashKind k : {HashKind::Sha512, HashKind::Sha256, HashKind::Sha1, HashKind::Md5, HashKind::Crc32}) {
        const bool byHash = std::find(f.hashOffered.begin(), f.hashOffered.end(), k) != f.hashOffered.end();
        const bool byX = std::find(f.xOffered.begin(), f.xOffered.end(), k) != f.xOffered.end();
        if (!byHash && !byX) continue;
        p.kind = k;
        // The standard command where it offers this algorithm; selecting it
        // costs one command per session unless it is selected already.
        p.hashCommand = byHash;
        p.needsOpts = byHash && f.hashSelected != k;
        return p;
    }
    return p;
}

std::string hashQuery(const HashPlan& plan, const std::string& name) {
    return (plan.hashCommand ? std::string("HASH") : std::string(xCommand(plan.kind))) + " " + name;
}

bool checksumAskable(const HashPlan& plan, const std::string& name) {
    return plan.kind != HashKind::None && (plan.hashCommand || name.find(' ') == std::string::npos);
}

std::string hashOptsCommand(const HashPlan& plan) { return std::string("OPTS HASH ") + hashName(plan.kind); }

std::optional<std::string> checksumFromReply(const std::string& reply, HashKind kind) {
    if (reply.size() < 4 || reply[0] != '2') return std::nullopt;
    const std::size_t digits = platform::hexDigits(kind);
    if (digits == 0) return std::nullopt;
    // A checksum is one word of a line; servers that take a while send a
    // line first ("213-Computing SHA-512 digest") and the checksum last
    // ("213 SHA-512 0-99 <hex> name", "250 <hex>").
    for (const auto& line : platform::files::splitLines(reply)) {
        const auto w = words(line);
        // The line's code, where it has one, is not a checksum.
        const std::size_t first = !w.empty() && w[0].size() >= 3 && std::isdigit(static_cast<unsigned char>(w[0][0])) &&
                                          std::isdigit(static_cast<unsigned char>(w[0][1])) &&
                                          std::isdigit(static_cast<unsigned char>(w[0][2])) &&
                                          (w[0].size() == 3 || w[0][3] == '-')
                                      ? 1
                                      : 0;
        for (std::size_t i = first; i < w.size(); ++i) {
            std::string t = w[i];
            if (kind == HashKind::Crc32 && t.size() > 2 && (t.compare(0, 2, "0x") == 0 || t.compare(0, 2, "0X") == 0))
                t = t.substr(2);
            // Some servers leave out a CRC's leading zeros.
            if (kind == HashKind::Crc32 && isHex(t) && t.size() < 8 && i == first && w.size() == first + 1)
                t = std::string(8 - t.size(), '0') + t;
            if (t.size() == digits && isHex(t)) return toLowerAscii(t);
        }
    }
    return std::nullopt;
}

std::optional<std::int64_t> sizeFromReply(const std::string& reply) {
    auto t = text213(reply);
    if (!t || t->empty() || t->size() > 18) return std::nullopt;
    std::int64_t v = 0;
    for (char c : *t) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return v;
}

std::optional<std::int64_t> mdtmFromReply(const std::string& reply) {
    auto t = text213(reply);
    if (!t || t->size() < 14) return std::nullopt;
    for (int i = 0; i < 14; ++i)
        if (!std::isdigit(static_cast<unsigned char>((*t)[i]))) return std::nullopt;
    if (t->size() > 14 && (*t)[14] != '.') return std::nullopt;
    auto num = [&](int at, int n) { return std::stoi(t->substr(at, n)); };
    std::tm tm{};
    tm.tm_year = num(0, 4) - 1900;
    tm.tm_mon = num(4, 2) - 1;
    tm.tm_mday = num(6, 2);
    tm.tm_hour = num(8, 2);
    tm.tm_min = num(10, 2);
    tm.tm_sec = num(12, 2);
    if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 60)
        return std::nullopt;
    return static_cast<std::int64_t>(timegm(&tm));
}

Task<std::optional<std::string>> ask(ControlJob job, std::string command, std::int64_t patienceSeconds) {
    using platform::Endpoint;
    if (!job.ledger.idle()) co_return std::nullopt;
    if (!job.send(command)) co_return std::nullopt;
    // Replies arriving meanwhile are only collected by the job's dispatcher;
    // they are taken here, in order.
    const bool wasDispatching = job.dispatching;
    job.dispatching = true;
    struct Restore {
        bool& flag;
        bool was;
        ~Restore() { flag = was; }
    } restore{job.dispatching, wasDispatching};
    // The patience runs on ticks that nothing resets or caps, so it ends
    // whatever the waits nested in this one do with their counters.
    const std::int64_t patienceEnds = job.secondsTicked + patienceSeconds;
    // One wait for the whole question, taking the replies as they come:
    // the one-second timer runs on through lines that answer nothing, so
    // none of its ticks is lost to a wait begun anew.
    std::optional<std::string> answer;
    co_await job.timedWait(
        [&] {
            if (job.secondsTicked < patienceEnds) job.idleTicks = 0;
            while (auto reply = job.assembler.next()) {
                job.trace(*reply);
                const auto a = job.ledger.match(*reply);
                // Anything but this command's final reply (a preliminary
                // reply, noise) is passed over, as the dialogue passes it
                // over; it is no activity for the watchdog.
                if (a && a->final && a->command == command) {
                    answer = std::move(reply);
                    return true;
                }
            }
            // A connection the server has closed brings nothing more than
            // what has been read already.
            return job.control.state() != Endpoint::Connected;
        },
        true);
    if (answer) job.idleTicks = 0;
    co_return answer;
}

Task<ProofSession> askProofSession(ControlJob job) {
    ProofSession session;
    const auto r = co_await ask(job, "FEAT");
    if (r) session.features = parseFeatures(*r);
    session.plan = chooseHash(session.features);
    session.hashReady = !session.plan.needsOpts;
    co_return session;
}

Task<std::optional<std::string>> askChecksum(ControlJob job, ProofSession& session, std::string name,
                                             std::int64_t size) {
    const HashPlan& plan = session.plan;
    if (plan.kind == HashKind::None) co_return std::nullopt;
    if (plan.hashCommand && !session.hashReady) {
        const auto r = co_await ask(job, hashOptsCommand(plan));
        if (!r || (*r)[0] != '2') co_return std::nullopt;
        session.hashReady = true;
    }
    const std::int64_t patience = job.checksumPatience ? job.checksumPatience(size) : checksumLimitSeconds(size);
    const auto r = co_await ask(job, hashQuery(plan, name), patience);
    if (!r) co_return std::nullopt;
    co_return checksumFromReply(*r, plan.kind);
}

std::int64_t checksumLimitSeconds(std::int64_t size) {
    // Ten seconds, and one more for every 32 MiB the server has to read;
    // never so long that a server could hold a job for good.
    return std::min(maxChecksumPatienceSeconds, 10 + std::max<std::int64_t>(size, 0) / (32 << 20));
}

}  // namespace corvantel
