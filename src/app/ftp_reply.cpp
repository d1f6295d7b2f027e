#include "app/ftp_reply.h"

#include <algorithm>
#include <cctype>

namespace corvantel {

static bool hasCode(const std::string& line) {
    return line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
           std::isdigit(static_cast<unsigned char>(line[1])) &&
           std::isdigit(static_cast<unsigned char>(line[2]));
}

void ReplyAssembler::feed(const std::string& bytes) {
    for (char c : bytes) {
        ++sinceReply_;
        if (c == '\n') {
            endLine();
            continue;
        }
        if (line_.size() < maxLineBytes)
            line_ += c;
        else
            lineTruncated_ = true;
    }
}

void ReplyAssembler::endLine() {
    std::string line;
    line.swap(line_);
    lineTruncated_ = false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string text = line + "\r\n";
    if (code_.empty()) {
        if (hasCode(line) && line.size() >= 4 && line[3] == '-') {
            code_ = line.substr(0, 3);
            reply_ = text;
            return;
        }
        if (line.empty()) return;  // stray blank lines carry nothing
        push(std::move(text));
        sinceReply_ = 0;
        return;
    }
    if (reply_.size() + text.size() <= maxReplyBytes) reply_ += text;
    if (line.size() >= 4 && line.compare(0, 3, code_) == 0 && line[3] == ' ') {
        push(std::move(reply_));
        reply_.clear();
        code_.clear();
        sinceReply_ = 0;
    } else if (line.size() == 3 && line == code_) {
        // "ddd" alone also ends a multi-line reply.
        push(std::move(reply_));
        reply_.clear();
        code_.clear();
        sinceReply_ = 0;
    }
}

void ReplyAssembler::push(std::string reply) {
    if (ready_.size() >= maxQueuedReplies || readyBytes_ + reply.size() > maxQueuedBytes) {
        flooded_ = true;
        return;
    }
    readyBytes_ += reply.size();
    ready_.push_back(std::move(reply));
    mostQueued_ = std::max(mostQueued_, ready_.size());
    mostQueuedBytes_ = std::max(mostQueuedBytes_, readyBytes_);
}

std::optional<std::string> ReplyAssembler::next() {
    if (ready_.empty()) return std::nullopt;
    std::string r = std::move(ready_.front());
    ready_.pop_front();
    readyBytes_ -= r.size();
    return r;
}

void ReplyAssembler::clear() {
    line_.clear();
    lineTruncated_ = false;
    reply_.clear();
    code_.clear();
    ready_.clear();
    readyBytes_ = 0;
    flooded_ = false;
    sinceReply_ = 0;
}

std::string replyCode(const std::string& reply) { return reply.substr(0, 3); }

LoginReply loginReply(const std::string& reply, bool toUser) {
    const std::string code = replyCode(reply);
    if (!hasCode(reply)) return LoginReply::Refused;
    if (code[0] == '2') return LoginReply::LoggedIn;
    if (toUser && code == "331") return LoginReply::NeedPassword;
    if (code[0] == '4') return LoginReply::Unavailable;
    return LoginReply::Refused;
}

std::string traceText(const std::string& command) {
    return command.rfind("PASS ", 0) == 0 ? "PASS ****" : command;
}

bool fitsInCommand(const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

bool isTransferCommand(const std::string& command) {
    for (const char* verb : {"RETR ", "STOR ", "APPE ", "NLST", "LIST"})
        if (command.rfind(verb, 0) == 0) return true;
    return false;
}

void CommandLedger::reset() { unanswered_.assign(1, "greeting"); }

void CommandLedger::sent(const std::string& command) {
    unanswered_.push_back(command);
    // A server that answers nothing cannot make the ledger grow without end.
    if (unanswered_.size() > 64) unanswered_.pop_front();
}

std::optional<CommandLedger::Answer> CommandLedger::match(const std::string& reply) {
    if (unanswered_.empty() || !hasCode(reply)) return std::nullopt;
    const std::string& oldest = unanswered_.front();
    const char kind = reply[0];
    const bool transfer = isTransferCommand(oldest);
    if (kind == '1') {
        // Only a transfer (or a greeting that asks to wait) has a
        // preliminary reply.
        if (!transfer && oldest != "greeting") return std::nullopt;
        return Answer{oldest, false, unanswered_.size() == 1};
    }
    if (kind < '2' || kind > '5') return std::nullopt;
    const std::string code = replyCode(reply);
    // "Service ready" answers the greeting only: a server that greets twice
    // does not answer the next command with it.
    if (code == "220" && oldest != "greeting") return std::nullopt;
    // "Transfer complete" answers a transfer only.
    if (code == "226" && !transfer) return std::nullopt;
    // A transfer ends with 226 or 250, or an error; any other positive
    // reply answers a later command. The transfer was given up without its
    // final reply (its data connection never came, say): it is passed over.
    if (transfer && kind <= '3' && code != "226" && code != "250" && unanswered_.size() > 1) {
        unanswered_.pop_front();
        return match(reply);
    }
    Answer a{oldest, true, unanswered_.size() == 1};
    unanswered_.pop_front();
    return a;
}

}  // namespace corvantel
