#pragma once
// A deterministic simulator of FTP servers: from a seed it draws a scenario
// (the job and its options, the files, and the server's misbehaviour keyed
// to the commands it receives), plays it with the scripted server against
// the whole program on the fake platform, and checks what the program did
// against what the server really sent and stored. A failing scenario is
// shrunk to a short script and printed as a row that replays it.

#include <cstdint>
#include <string>
#include <vector>

namespace corvantel::sim {

// One way the server bends its handling of the nth command of a verb
// (counted over the whole job run, retries included).
enum class Fault {
    Refuse,        // answers with a negative code instead (arg picks it)
    Finish,        // a transfer ends with a negative code (arg picks it)
    SizeUntold,    // RETR announces no size
    SizeWrong,     // RETR announces more than comes
    DataShort,     // arg percent of the file's bytes come
    DataLong,      // arg bytes more than the file come
    DataReset,     // the data connection is reset (after arg percent)
    DataNever,     // the data connection is never closed by the server
    DataFirst,     // data before the 150 and the 226
    DataAfter,     // data after the 226
    Trickle,       // data in pieces arg ms apart
    SecondPrelim,  // a second 150
    NoFinal,       // a transfer's final reply never comes
    CloseBefore,   // control connection closed (FIN) instead of an answer
    ResetBefore,   // control connection reset instead of an answer
    CloseAfter,    // closed right behind the final reply
    ResetAfter,    // reset right behind the final reply
    Delay,         // the answer comes arg ms late
    Silent,        // no answer at all
    Hold,          // no answer, but a line that answers nothing every arg ms
    Flood,         // arg short lines that answer nothing behind the answer
    // Over SFTP (Refuse, Delay and Silent too; a verb is a call: "connect",
    // "list", "stat", "open-read", "read", "open-write", "write", "close",
    // "rename", "remove"):
    Lost,          // the connection lost before the call takes effect
    LostAfter,     // lost once the server has done the call (its answer lost)
    EarlyEof,      // a read answers that the file has ended
    Grow,          // the file gains arg + 1 bytes before the call
    Replace,       // the file is replaced by another of arg percent its size (a new time)
    SizesOff,      // the listing tells each size one byte off (arg odd: less)
    ShortReads,    // from this read on, reads answer at most arg bytes
    KeyChanged,    // the server's key is not the one on file
    Count
};

// How the server answers EPSV in passive mode: as it should, or failing in
// one of the ways that send the program to PASV for the session.
enum class Epsv {
    Works,
    Refused500,
    Refused502,
    Refused550,  // a refusal by policy, as vsftpd's
    Refused450,
    Malformed,   // a 229 whose port cannot be read
    ClosedPort,  // a 229 naming a port that refuses connections
    Count
};

struct Action {
    std::string verb;
    int nth = 1;
    Fault fault = Fault::Refuse;
    int arg = 0;
    // 0: the nth such command over all connections; k: the nth the kth
    // connection of a session sends (1 is the first, which lists).
    int connection = 0;
};

struct File {
    std::string name;
    std::int64_t size = 0;
};

struct Scenario {
    std::uint64_t seed = 0;
    bool upload = false;
    bool nlst = true;
    bool passive = false;
    Epsv epsv = Epsv::Works;
    bool quick = false;
    bool tls = false;
    int retries = 0;
    bool deleteAfter = false;
    bool dupe = true;
    // The server's manner, whatever the faults.
    bool lf = false;            // replies end in LF alone
    bool split = false;         // replies cut at random bytes
    bool coalesce = false;      // a command's replies in one piece
    bool multiLine = false;     // some replies in multi-line form
    bool noise = false;         // lines without a code between replies
    bool repeatGreeting = false;
    bool connectAtPort = false;
    bool listsEverything = false;  // NLST/LIST ignore the pattern
    bool blockAfterPassive = false;
    // Proven transfers: the options, what FEAT offers (0: nothing, 1: SIZE,
    // 2: SIZE, MDTM, REST and HASH, 3: SIZE and the X checksums) and a
    // server whose checksums are wrong while the faults last.
    bool verify = false;
    bool resume = false;
    int features = 0;
    bool checksumLie = false;
    // Settled files only, with the first file taken written a moment ago
    // while the faults last.
    bool settle = false;
    // Drawn from a stream of their own (older seeds keep the rest):
    // the job's transfer type (ASCII: text files, LF sent as CR LF, sizes
    // told as on the server's disk);
    bool ascii = false;
    // the shape of the server's replies (0 plain; 1 z/OS: 125 and 250, no
    // size told; 2 multi-line preliminary and final replies; 3 texts with
    // digits, parentheses, quoted names and words like "denied", "530",
    // outside the login);
    int replyStyle = 0;
    // the login (0 331 then 230; 1 a multi-line 230 with words like
    // "invalid" and "530" in its text; 2 230 to USER, 503
    // to a PASS after it; 3 the same with 230 to the PASS; 4 a 120 before
    // the 220);
    int login = 0;
    // resume bugs: REST answered 350 but the file sent from byte 0; REST
    // answered 350 and RETR refused "451 Restart not permitted";
    bool restIgnored = false;
    bool restRefusedAtRetr = false;
    // after the faults, a file not yet fetched is replaced on the server by
    // another of its size with an older time;
    bool replaced = false;
    // a file whose time lies hours in the future (the server's MDTM, or the
    // local file's time for an upload);
    bool futureTime = false;
    // a file that grows while the faults last: 1 between its SIZE and its
    // RETR, 2 while it is fetched (after its data, before the next command).
    int growing = 0;
    // Drawn from a fourth stream: a checksum is given the longest patience
    // the program ever gives (as for the biggest files).
    bool longPatience = false;
    // Drawn from a fifth stream: strangers on the data port (another
    // process, from another address, connects to each port announced in
    // active mode before the server does, and offers bytes of its own).
    bool strangers = false;
    // Drawn from a sixth stream: connections per job (--parallel), and the
    // server's limit of connections side by side (0: none).
    int parallel = 1;
    int serverLimit = 0;
    // Drawn from an eighth stream: uploads under a temporary name (resumed
    // with resume); how the server renames (0 over an existing name, 1
    // never over one, 2 not at all, 3 refused by permission, 4 RNTO always
    // refused); the server holding an older copy of each name; while the
    // faults last, the temporary copy deleted, or replaced by one of
    // another size, right after its store; APPE refused.
    bool tempName = false;
    int renames = 0;
    bool oldCopies = false;
    bool tempVanish = false, tempReplaced = false;
    bool appeRefused = false;
    // Drawn from a ninth stream: the job runs over SFTP (the faults are
    // keyed to its calls; renames 0: posix-rename offered, 1: a plain
    // rename, refused onto an existing name).
    bool sftp = false;
    std::string pattern = "*.jpg";
    std::vector<File> files;
    std::vector<Action> actions;
};

// Draws the scenario of a seed.
// (oneConnection: the same scenario with one connection per job, and no
// fault keyed to a connection.)
Scenario draw(std::uint64_t seed, bool oneConnection = false);

// Plays a scenario and checks it; an empty result means every invariant
// held, else one line per broken invariant.
std::vector<std::string> check(const Scenario& sc, bool trace = false);

// The whole dialogue of a seed's scenario, as the server heard and answered
// it with the program's times, then what each transfer carried, the logs
// and the status texts: pinned for a fixed set of seeds, so that a change
// of structure shows every change it makes on the wire.
std::string wire(std::uint64_t seed);

// A smaller scenario that still breaks an invariant (fewer actions and
// files, plainer options).
Scenario shrink(const Scenario& sc);

// The scenario as a row of the regression table (C++ source).
std::string row(const Scenario& sc);

// Runs seeds [from, from + count); prints a progress line every so often and
// every failure (its replay line and shrunk row). Returns the failures.
int runSeeds(std::uint64_t from, std::uint64_t count, bool progress, int maxFailures = 5, bool sftpOnly = false);

}  // namespace corvantel::sim
