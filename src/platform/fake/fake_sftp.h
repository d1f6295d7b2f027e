#pragma once
// An SFTP server in memory for tests on the fake platform: its files, its
// key and logins, and the faults a test gives it. Connections answer each
// call after latencyMs of virtual time.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/sftp.h"

namespace corvantel::platform::fake {

class FakePlatform;

struct FakeSftpServer {
    struct File {
        std::string bytes;
        std::int64_t mtime = 1'700'000'000;
        bool regular = true;
        bool readable = true;
        bool writable = true;
    };
    // By path as the program names it ("dir/name", or "name" for the
    // login's folder).
    std::map<std::string, File> files;
    std::string fingerprint = "SHA256:fakeserverkeyfakeserverkeyfakeserverkey0";
    // What the program's known-hosts files say of this server's key when
    // no pin matches: known, unknown, or another key on file.
    enum class Known { Yes, No, Changed } known = Known::Yes;
    std::string user = "tester";
    std::string password = "secret";
    // A key file accepted for the user (empty: none).
    std::string acceptedKey;
    bool subsystem = true;
    bool posixRename = true;
    // Each read answers at most this many bytes (short reads).
    std::size_t readChunk = 64 * 1024;
    int latencyMs = 1;
    // Fault hook, called before each call is answered with the call
    // ("connect", "list", "stat", "open-read", "read", "open-write",
    // "write", "close", "rename", "remove"), its path, and the answer it is
    // about to get, which it may change. Returning false leaves the call
    // unanswered for ever (a silent server).
    std::function<bool(const std::string& call, const std::string& path, SftpReply& reply)> fault;
    // Called as each call arrives, before it takes effect (the same calls
    // and paths): it may change the server (its files, its key), or answer
    // the call itself by returning true with reply set, and the call then
    // takes no effect (fault still sees that answer).
    std::function<bool(const std::string& call, const std::string& path, SftpReply& reply)> arriving;
    // The connection whose call the hooks see: the count of connections
    // when it last connected.
    int speaking = 0;
    // A hook may set the latency of the one answer it sees (ms; -1:
    // latencyMs).
    int answerLatencyMs = -1;
    // Every call, as "call path" (tests read it).
    std::vector<std::string> calls;
    // The login each connection offered last.
    SftpLogin lastLogin;
    int connections = 0;
    // Connections logged in now, the most at once, and the most the server
    // lets in at once (0: no limit; past it a login is refused).
    int open = 0, mostOpen = 0, limit = 0;
    bool authenticated = false;
};

}  // namespace corvantel::platform::fake
