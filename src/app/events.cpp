#include "app/events.h"

namespace corvantel {

std::string serverReplyReason(const std::string& reply) {
    std::string line;
    for (char c : reply) {
        if (c == '\r' || c == '\n' || line.size() >= 200) break;
        if (c >= 0x20 && c < 0x7f) line += c;
    }
    return "server: " + line;
}

}  // namespace corvantel
