#pragma once
// Cuts what arrives on a control connection into whole server replies.
//
// A reply is one line "ddd text", or a multi-line reply from "ddd-..." to the
// line that begins with the same code and a blank. A reply whose end has not
// arrived yet waits for the rest. A line that does not begin with a code is
// a reply of its own. Lines may end in CR LF or a bare LF.
//
// Memory is bounded whatever the server sends: a line keeps at most
// maxLineBytes (the rest of an over-long line is dropped up to its end) and a
// multi-line reply keeps at most maxReplyBytes of text.

#include <cstddef>
#include <deque>
#include <optional>
#include <string>

namespace corvantel {

class ReplyAssembler {
public:
    static constexpr std::size_t maxLineBytes = 8192;
    static constexpr std::size_t maxReplyBytes = 65536;

    void feed(const std::string& bytes);
    // The next complete reply, with its line ends, or nothing.
    std::optional<std::string> next();
    bool empty() const { return ready_.empty(); }
    void clear();

private:
    void endLine();
    std::string line_;          // the line being received (bounded)
    bool lineTruncated_ = false;
    std::string reply_;         // lines of an unfinished multi-line reply
    std::string code_;          // its code, while one is open
    std::deque<std::string> ready_;
};

// The first three characters of a reply (fewer when it is shorter).
std::string replyCode(const std::string& reply);

}  // namespace corvantel
