#include "download/reply_assembler.h"

#include <cctype>

namespace corvantel {

static bool hasCode(const std::string& line) {
    return line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
           std::isdigit(static_cast<unsigned char>(line[1])) &&
           std::isdigit(static_cast<unsigned char>(line[2]));
}

void ReplyAssembler::feed(const std::string& bytes) {
    for (char c : bytes) {
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
        ready_.push_back(text);
        return;
    }
    if (reply_.size() + text.size() <= maxReplyBytes) reply_ += text;
    if (line.size() >= 4 && line.compare(0, 3, code_) == 0 && line[3] == ' ') {
        ready_.push_back(reply_);
        reply_.clear();
        code_.clear();
    } else if (line.size() == 3 && line == code_) {
        // "ddd" alone also ends a multi-line reply.
        ready_.push_back(reply_);
        reply_.clear();
        code_.clear();
    }
}

std::optional<std::string> ReplyAssembler::next() {
    if (ready_.empty()) return std::nullopt;
    std::string r = std::move(ready_.front());
    ready_.pop_front();
    return r;
}

void ReplyAssembler::clear() {
    line_.clear();
    lineTruncated_ = false;
    reply_.clear();
    code_.clear();
    ready_.clear();
}

std::string replyCode(const std::string& reply) { return reply.substr(0, 3); }

}  // namespace corvantel
