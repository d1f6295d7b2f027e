#pragma once
// Proven transfers (options, off by default): what a server offers to prove
// a file (FEAT), the questions that prove it (SIZE, MDTM, a checksum), and
// the way those questions are asked in the middle of a job's dialogue.
//
// A question goes out only when the job's dialogue waits for no other
// answer, and its answer is taken straight from the job's control
// connection, so the dialogue's steps never see it. Every question is
// bounded in time; a session taken over or shut down ends it at once.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/task.h"
#include "platform/digest.h"
#include "platform/endpoint.h"

namespace corvantel {
class App;
class ReplyAssembler;
class CommandLedger;

// What a server's answer to FEAT offers (nothing for a refusal).
struct ServerFeatures {
    bool size = false, mdtm = false, rest = false;
    // The HASH command: the algorithms it offers, and the one selected now.
    std::vector<platform::HashKind> hashOffered;
    platform::HashKind hashSelected = platform::HashKind::None;
    // The one-algorithm commands (XCRC, XMD5, XSHA1, XSHA256, XSHA512).
    std::vector<platform::HashKind> xOffered;
};
ServerFeatures parseFeatures(const std::string& reply);

// The strongest checksum offered, and how to ask for it.
struct HashPlan {
    platform::HashKind kind = platform::HashKind::None;
    bool hashCommand = false;  // "HASH name" (else the X command)
    bool needsOpts = false;    // "OPTS HASH <algorithm>" first
};
HashPlan chooseHash(const ServerFeatures& features);
std::string hashQuery(const HashPlan& plan, const std::string& name);
// Whether the plan can ask for the checksum of that name: the X commands
// take further words as byte offsets, so a name with a blank is not asked
// by them (the file is then proven by its size alone).
bool checksumAskable(const HashPlan& plan, const std::string& name);
std::string hashOptsCommand(const HashPlan& plan);

// The checksum in a positive answer to a checksum command, lower case; the
// first word of the right length and all hexadecimal. Nothing otherwise.
std::optional<std::string> checksumFromReply(const std::string& reply, platform::HashKind kind);
// "213 <size>": the size; nothing for anything else.
std::optional<std::int64_t> sizeFromReply(const std::string& reply);
// "213 YYYYMMDDHHMMSS[.fff]": seconds since 1970 (UTC); nothing otherwise.
std::optional<std::int64_t> mdtmFromReply(const std::string& reply);

// One job's control connection, for questions asked between its steps.
struct ControlJob {
    platform::Endpoint& control;
    ReplyAssembler& assembler;
    CommandLedger& ledger;
    bool& dispatching;
    std::int64_t& idleTicks;
    // The job's one-second ticks, never reset: a question's patience is
    // counted on them.
    const std::int64_t& secondsTicked;
    std::function<bool(const std::string&)> send;
    std::function<Task<>(std::function<bool()>, bool)> timedWait;
    std::function<void(const std::string&)> trace;
    std::function<std::int64_t(std::int64_t)> checksumPatience;
};

// Sends command and returns its final reply; nothing when it could not be
// sent (another answer is awaited), the connection is gone, or the session
// was taken over meanwhile: a server that leaves a question unanswered is
// silent, and the session's watchdog takes it over as for any silence.
// Only the answer is activity: lines that answer nothing (a "100 still
// counting" every few seconds, say) never hold the watchdog off.
// patienceSeconds keeps the watchdog quiet that long first (a checksum of a
// big file takes the server a while), counted on the job's one-second
// ticks; a question therefore ends within its patience and the watchdog's
// time.
Task<std::optional<std::string>> ask(ControlJob job, std::string command, std::int64_t patienceSeconds = 0);

// How long the server may take to tell a checksum of a file of that size:
// ten seconds and one more per 32 MiB, at most maxChecksumPatienceSeconds.
inline constexpr std::int64_t maxChecksumPatienceSeconds = 1800;
std::int64_t checksumLimitSeconds(std::int64_t size);

// What a job's session has learnt of its server for proving files.
struct ProofSession {
    ServerFeatures features;
    HashPlan plan;
    bool hashReady = false;        // the plan's algorithm is selected
    bool unverifiedNoted = false;  // the error log has said that files cannot be proven
};
// FEAT: what the server offers (nothing for a refusal or no answer), and
// the checksum to ask for.
Task<ProofSession> askProofSession(ControlJob job);
// The server's checksum of a file of that size, selecting the algorithm
// with OPTS HASH first when needed; nothing when refused or not answered.
Task<std::optional<std::string>> askChecksum(ControlJob job, ProofSession& session, std::string name,
                                             std::int64_t size);
// The error-log line of a session whose files cannot be verified.
inline constexpr const char* unverifiedText = "Not Verified: the server offers no SIZE and no checksum";
inline constexpr const char* clocksDifferText =
    "Clocks Differ: the server's file times lie ahead of this machine's clock; such files are taken once "
    "unchanged for the settle time";
inline constexpr const char* localClocksDifferText =
    "Clocks Differ: local file times lie ahead of this machine's clock; such files are sent once unchanged for "
    "the settle time";

}  // namespace corvantel
