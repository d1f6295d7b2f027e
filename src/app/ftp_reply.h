#pragma once
// Cuts what arrives on a control connection into whole server replies.
//
// A reply is one line "ddd text", or a multi-line reply from "ddd-..." to the
// line that begins with the same code and a blank. A reply whose end has not
// arrived yet waits for the rest. A line that does not begin with a code is
// a reply of its own. Lines may end in CR LF or a bare LF.
//
// Memory is bounded whatever the server sends: a line keeps at most
// maxLineBytes (the rest of an over-long line is dropped up to its end), a
// multi-line reply keeps at most maxReplyBytes of text, and the replies
// waiting to be taken (while the job's dialogue is busy inside a wait) are
// at most maxQueuedReplies holding maxQueuedBytes. Replies past that are
// dropped and the assembler is flooded: no session asks for that many
// answers at once, so the session ends.

#include <cstddef>
#include <deque>
#include <optional>
#include <string>

namespace corvantel {

class ReplyAssembler {
public:
    static constexpr std::size_t maxLineBytes = 8192;
    static constexpr std::size_t maxReplyBytes = 65536;
    static constexpr std::size_t maxQueuedReplies = 256;
    static constexpr std::size_t maxQueuedBytes = 1u << 20;

    void feed(const std::string& bytes);
    // The next complete reply, with its line ends, or nothing.
    std::optional<std::string> next();
    bool empty() const { return ready_.empty(); }
    // More replies came than may wait (they were dropped) since clear().
    bool flooded() const { return flooded_; }
    // The most replies, and bytes of them, that have ever waited at once
    // (clear() keeps these).
    std::size_t mostQueued() const { return mostQueued_; }
    std::size_t mostQueuedBytes() const { return mostQueuedBytes_; }
    // Bytes fed since the end of the last complete reply (a partial line,
    // blank lines): 0 when what was fed ends exactly at a reply's end.
    std::size_t bytesAfterLastReply() const { return sinceReply_; }
    void clear();

private:
    void endLine();
    void push(std::string reply);
    std::string line_;          // the line being received (bounded)
    bool lineTruncated_ = false;
    std::string reply_;         // lines of an unfinished multi-line reply
    std::string code_;          // its code, while one is open
    std::deque<std::string> ready_;
    std::size_t readyBytes_ = 0;
    bool flooded_ = false;
    std::size_t mostQueued_ = 0, mostQueuedBytes_ = 0;
    std::size_t sinceReply_ = 0;
};

// The error-log line of a session ended by a flood of replies.
inline constexpr const char* floodText = "Flood Error: the server sent more replies than the session asked for";

// The first three characters of a reply (fewer when it is shorter).
std::string replyCode(const std::string& reply);

// Which command a server reply answers. A server answers the commands of a
// control connection in the order they were sent, one final reply (2xx to
// 5xx) each, with preliminary replies (1xx) before the final one of a
// transfer. The ledger keeps the commands that have no final reply yet, so
// that a reply moves a dialogue on only when it answers the command that the
// dialogue's step sent, and a reply that answers nothing (unsolicited lines,
// garbage, a "226" when no transfer runs) moves nothing.
class CommandLedger {
public:
    struct Answer {
        std::string command;  // the command text answered ("greeting" for the greeting)
        bool final = true;    // false for a preliminary (1xx) reply
        bool latest = true;   // it answers the command sent last
    };

    // A new connection: its greeting is the first thing answered.
    void reset();
    void sent(const std::string& command);
    // Matches a whole reply with the oldest command still waiting; a final
    // reply takes that command off the ledger. Nothing when the reply
    // answers no command.
    std::optional<Answer> match(const std::string& reply);
    // No command waits for its final reply.
    bool idle() const { return unanswered_.empty(); }

private:
    std::deque<std::string> unanswered_;
};

// What the answer to USER or PASS means, by its code alone (never by the
// words of its text: "230 Welcome, 0 invalid attempts" is a login).
enum class LoginReply {
    LoggedIn,      // 2xx: in (to USER: a server that wants no password)
    NeedPassword,  // 331 to USER
    Refused,       // 5xx, or a 3xx that asks for what the job has not got
    Unavailable,   // 4xx: the server cannot take the login now
};
LoginReply loginReply(const std::string& reply, bool toUser);

// A command as the trace shows it: never a password.
std::string traceText(const std::string& command);

// Whether text can go into a command: a CR, LF or NUL in it would end the
// command early and let the rest be read as a command of its own.
bool fitsInCommand(const std::string& text);

// Whether a command starts a data transfer (its answer comes in two parts).
bool isTransferCommand(const std::string& command);

}  // namespace corvantel
