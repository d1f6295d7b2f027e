#pragma once
// A scripted FTP server on the fake platform: enough of the protocol for the
// sessions (login, CWD, PWD, TYPE, PORT, NLST, LIST, REST, RETR, STOR, DELE)
// over in-memory connections, with switches for the ways real servers differ
// and for faults.

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/fake/fake_platform.h"

namespace corvantel::testing {

class FakeFtpServer {
public:
    FakeFtpServer(platform::fake::FakePlatform& plat, std::int32_t port = 21);
    ~FakeFtpServer();
    FakeFtpServer(const FakeFtpServer&) = delete;
    FakeFtpServer& operator=(const FakeFtpServer&) = delete;

    // Connections served side by side (0: one, and a new one takes the
    // place of the last). Past the limit a connection gets "421" and is
    // closed. The further connections share this server's files, switches
    // and records; each has its own login, data connection and REST.
    int maxConnections = 0;
    int refusedConnections = 0;
    int mostOpen = 0;  // the most connections open at once

    std::map<std::string, std::string> files;   // remote name -> content
    std::map<std::string, std::string> stored;  // names stored by STOR
    std::string user = "u", password = "p";
    bool announceSize = true;     // "150 ... (N bytes)."
    bool connectAtPort = false;   // connect to the data port on PORT, as some servers do
    bool expandWildcards = true;  // NLST/LIST with a pattern list only matches
    bool repliesTogether = false; // send a transfer's 150 and 226 in one piece
    bool refuseStor = false;      // 550 for STOR
    bool multiLineGreeting = false;
    bool userLogsIn = false;      // USER answered "230" at once (no password wanted)
    std::string loginText;        // the reply to a good PASS, when not the usual
    // Ways real servers differ, played deterministically:
    bool refuseDuringStore = false;  // "500 Unknown command." to commands sent while a store runs
    bool twoPreliminaries = false;   // a store's "150" comes twice (a connecting notice first)
    bool listDots = false;           // listings name "." and ".." too
    bool patternListEmpty = false;   // "LIST pattern" lists nothing (the whole argument taken as one name)
    bool finalAfterClose = false;
    bool listingConnectsLate = false;  // active mode: a listing's 150 and 226 come before its data connection    // a listing's "226" waits until the program closes the data connection
    int commandsDuringStore = 0;     // commands received while a store ran
    int storeReplyDelayMs = 0;       // a store's "226" comes this long after its data
    // Passive and extended modes.
    // How EPSV is answered: as it should be; refused with epsvCode (a 421
    // then closes the control connection, as servers that are closing do);
    // with a 229 whose port cannot be read (forms taking turns: a delimiter
    // short, no port, no parentheses); or with a 229 naming a port where
    // nothing accepts (a firewall between). PASV keeps working throughout.
    enum class Epsv { Works, Refused, Malformed, ClosedPort };
    Epsv epsv = Epsv::Works;
    std::string epsvCode = "500";
    int epsvFailsFrom = 1;  // EPSV works until its nth time in a session
    bool refuseEprt = false;                 // "500" to EPRT
    std::string pasvAddress = "127,0,0,1";   // the address a 227 reply announces
    int refusePassiveAt = 0;                 // the Nth passive port announced has nothing listening
    // FTPS.
    bool tls = false;              // AUTH TLS answered 234 (else 502)
    std::string afterAuth;         // bytes sent right behind the 234, in the same piece
    int controlTlsFailure = 0;     // the control handshake ends with this error (0: it succeeds)
    bool controlTlsStall = false;  // the control handshake never ends
    int dataTlsFailure = 0;        // passive data handshakes end with this error (0: they succeed)
    bool refuseDataTls = false;    // protected transfers answered "522" (a data connection not resumed)
    bool dataWasSecure = true;     // every protected data connection so far was secure and resumed
    // Proving files: FEAT lists these lines (none: FEAT is refused); SIZE,
    // MDTM (times as YYYYMMDDHHMMSS, else an old one), HASH with OPTS HASH
    // and the X commands answer from the files held; REST n makes the next
    // RETR send from byte n. The lies: sizes told this much larger,
    // checksums wrong, a store that keeps this many bytes fewer.
    std::vector<std::string> features;
    std::map<std::string, std::string> mdtm;
    std::int64_t sizeSkew = 0;
    bool checksumLie = false;
    std::size_t storeDrops = 0;
    // TYPE A as a Unix server plays it: RETR sends each LF as CR LF, while
    // "(N bytes)", SIZE and REST count the bytes on its disk; STOR keeps
    // the bytes as they come. A session starts in TYPE A, as the protocol
    // has it.
    bool asciiConverts = false;
    // The shapes of the replies: 0 as above; 1 a z/OS manner (125 and 250
    // for every transfer, no size told); 2 multi-line preliminary and final
    // replies; 3 texts with digits, parentheses, quoted names and words like
    // "denied", "invalid", "530", "done" (the login's: see login).
    int replyStyle = 0;
    // Logins: 0 "331" then "230"; 1 a multi-line "230" (its texts, and the
    // 331's, with digits and words like "invalid", "denied", "530"); 2 "230" to USER and
    // "503 Already logged in" to a PASS after it; 3 the same with "230" to
    // the PASS; 4 a "120" before the "220" greeting.
    int login = 0;
    // Resume bugs: REST is answered 350 but RETR sends from byte 0; REST is
    // answered 350 and RETR then refused with "451 Restart not permitted".
    // (restIgnored also makes a STOR after REST write from byte 0.)
    bool restIgnored = false;
    bool restRefusedAtRetr = false;
    // Renames of stored files (RNFR, RNTO): over an existing name as
    // rename(2) does; never over an existing name (553, and a STOR over
    // one is refused too, as proftpd's AllowOverwrite off); not at all (RNFR
    // answered 502, or 550 by permission); RNTO always refused (550).
    enum class Renames { Over, NotOver, Never, Denied, RntoDenied };
    Renames renames = Renames::Over;
    bool refuseAppe = false;  // "502" for APPE
    // Called after a stored name changed (a store's bytes, a rename, a
    // delete) and after a store's positive final reply.
    std::function<void(const std::string&)> storedChanged;
    std::function<void(const std::string&)> storeEnded;
    // Called with each command line; may return a reply to send instead of
    // the normal handling (an empty string: handle normally).
    std::function<std::string(const std::string&)> override;

    // How the server plays one command, for scripted and simulated
    // misbehaviour. The defaults are a well-behaved server.
    struct Shape {
        std::string refuse;   // answer with this code instead (no transfer happens)
        std::string finish;   // a transfer ends with this code instead of 226
        enum class Size { Told, Untold, Wrong } size = Size::Told;  // RETR's "(N bytes)"
        std::int64_t dataBytes = -1;  // file bytes sent (-1: all; more: garbage after them)
        enum class DataEnd { Close, Reset, Never } dataEnd = DataEnd::Close;
        // Where the data goes beside the replies: between the 150 and the
        // 226, before both, or after both.
        enum class Order { Between, First, After } order = Order::Between;
        int trickleMs = 0;            // data in pieces this far apart
        bool secondPreliminary = false;
        bool noFinal = false;         // a transfer's final reply never comes
        // The control connection closed (FIN) or reset, before the reply or
        // right behind the final one.
        enum class Control { Stay, CloseBefore, ResetBefore, CloseAfter, ResetAfter } control = Control::Stay;
        int controlAfterMs = 0;       // CloseAfter/ResetAfter come this long after the final reply
        int delayMs = 0;              // the answer comes this late
        bool silent = false;          // no answer at all
        // No answer, but a line that answers nothing ("100 Still counting.",
        // "Still counting.") this often, for as long as the connection lasts.
        int holdEveryMs = 0;
        // Behind its first reply, this many short lines that answer
        // nothing, in eight pieces 100 ms apart.
        int floodLines = 0;
    };
    // Called with each command before it is handled; fills its shape.
    std::function<void(const std::string&, Shape&)> shaping;
    // Every byte for the control connection goes through here when set (the
    // simulator splits, joins and rewrites them); else it is sent as is.
    std::function<void(const std::string&)> wire;
    // After a passive-mode answer the server handles nothing more until the
    // program has connected to that port.
    bool blockAfterPassive = false;
    // The replies of one command's handling leave in one piece (a 150 and
    // its 226 together, after the data they frame).
    bool coalesce = false;
    // What each RETR really sent: the bytes, the size told (-1: none), and
    // whether its data connection ended normally after them.
    struct Attempt {
        std::string name, bytes;
        std::int64_t told = -1;
        bool endedNormally = false;
        int session = 0;
    };
    std::vector<Attempt> attempts;
    // Runs steps in order, each after its delay; the server handles the
    // next command once the last has run.
    struct Step {
        int delayMs;
        std::function<void()> fn;
    };
    // Sends bytes on the control connection as they stand.
    void sendRaw(const std::string& bytes);

    // A transfer played exactly as given: the first reply, the bytes on the
    // data connection, how the data connection ends, the final reply.
    struct Transfer {
        std::string start;
        std::string data;
        bool reset = false;
        std::string end;
        std::function<void()> then;  // run after it has been played
        int resetNumber = platform::neterr::ConnectionReset;  // the error a reset reports
    };
    // An override that answers "RETR name" with the transfer.
    std::function<std::string(const std::string&)> retrAs(const std::string& name, Transfer t);

    std::vector<std::string> commands;  // every command line received
    // Sessions so far. By default a session begins when a connection
    // arrives with none open; a test that knows the client's own count
    // gives it here (a further connection arriving just after the first was
    // cut still belongs to the first one's session).
    int sessions = 0;
    std::function<int()> sessionOf;
    // The session of the connection whose command is being shaped, and
    // which of its connections it is (1: the first to arrive).
    int speaking = 0;
    int speakingConnection = 0;
    std::shared_ptr<platform::fake::Peer> control;
    // The data port of the last PORT command.
    std::int32_t dataPort() const { return dataPort_; }

private:
    // A further connection's server, sharing root's files and switches.
    explicit FakeFtpServer(FakeFtpServer& root);
    FakeFtpServer& r() { return *root_; }
    const FakeFtpServer& r() const { return *root_; }
    void arrived(std::shared_ptr<platform::fake::Peer> peer);
    void accepted(std::shared_ptr<platform::fake::Peer> peer);
    void received();
    void pump();
    void process(const std::string& line, const Shape& shape);
    void handle(const std::string& line, const Shape& shape);
    void reply(const std::string& text);
    // A final reply: the control connection is then closed or reset when
    // the command's shape asks for it.
    void finalReply(const std::string& text);
    void afterFinal();
    void emit(const std::string& bytes);
    void flush();
    void play(std::vector<Step> steps);
    void runSteps(std::shared_ptr<std::vector<Step>> steps, std::size_t i);
    void later(int ms, std::function<void()> fn);
    void holdOn(std::shared_ptr<platform::fake::Peer> peer, int everyMs, int n);
    void flood(std::shared_ptr<platform::fake::Peer> peer, int lines, int piece);
    void retrieve(const std::string& name, const std::string& content, const Shape& shape);
    // Plays a transfer as its shape asks: the preliminary reply, the bytes
    // (in count pieces when trickled), the end of the data connection and
    // the final reply ("226", or the shape's code followed by aborted).
    void playTransfer(std::shared_ptr<platform::fake::Peer> d, const std::string& bytes, int count,
                      std::function<void()> prelim, const std::string& aborted, const Shape& shape,
                      const std::string& endKind);
    std::shared_ptr<platform::fake::Peer> openData();
    std::string listing(const std::string& arg, bool longFormat) const;

    platform::fake::FakePlatform& plat_;
    std::string buffer_;
    std::int32_t dataPort_ = 0;
    std::shared_ptr<platform::fake::Peer> data_;
    bool loggedIn_ = false;
    bool storing_ = false;
    bool passive_ = false;
    bool protP_ = false;
    int passiveCount_ = 0;
    int malformedCount_ = 0;
    int epsvCount_ = 0;  // in this session
    int session_ = 0;    // the session this connection belongs to
    int ordinal_ = 0;    // its place among that session's connections
    int arrivals_ = 0, arrivalsSession_ = 0;  // the root's count of them
    std::size_t rest_ = 0;
    std::string renameFrom_;
    bool typeA_ = true;
    // A reply text in the server's style (kind: "retr", "list", "stor" for
    // preliminary replies, "end" for a transfer's final one).
    std::string styled(const std::string& kind, const std::string& name, std::int64_t told) const;
    std::string hashAlgorithm_ = "SHA-256";
    bool proofCommand(const std::string& cmd, const std::string& arg);
    std::int32_t nextPassivePort_ = 30000;
    std::vector<std::unique_ptr<platform::Timer>> delays_;
    std::string pendingUser_;
    std::deque<std::string> queue_;
    bool busy_ = false;
    bool blocked_ = false;
    Shape::Control after_ = Shape::Control::Stay;
    int afterMs_ = 0;
    std::shared_ptr<platform::fake::Peer> afterOn_;
    int generation_ = 0;
    int holding_ = 0;
    std::string outbox_;
    FakeFtpServer* root_ = this;
    std::vector<std::unique_ptr<FakeFtpServer>> children_;
    FakeFtpServer* current_ = nullptr;  // the connection the wire is sending for
};

}  // namespace corvantel::testing
