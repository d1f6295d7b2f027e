#include "app/data_setup.h"

#include <cctype>
#include <cstdlib>

#include "app/app_state.h"
#include "app/ftps.h"
#include "app/text.h"
#include "app/waits.h"

namespace corvantel {

using platform::Endpoint;

bool isIPv6(const std::string& address) { return address.find(':') != std::string::npos; }

std::string portArgument(const std::string& localIP, std::int32_t port) {
    std::string parts[4];
    std::size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        std::size_t dot = localIP.find('.', start);
        if (dot == std::string::npos) {
            parts[i] = localIP.substr(start);
            start = localIP.size();
            continue;
        }
        parts[i] = localIP.substr(start, dot - start);
        start = dot + 1;
    }
    parts[3] = trimBlanks(start < localIP.size() ? localIP.substr(start) : std::string());
    return parts[0] + "," + parts[1] + "," + parts[2] + "," + parts[3] + "," + std::to_string(port / 256) + "," +
           std::to_string(port % 256);
}

std::string dataSetupCommand(App& app, const DataJob& job, std::string& portArgument) {
    if (app.s.passiveMode) return job.epsvRefused ? "PASV" : "EPSV";
    const std::int32_t port = job.data.localPort();
    const std::string address = app.s.portAddress.empty() ? job.control.localIP() : app.s.portAddress;
    if (isIPv6(address)) return "EPRT |2|" + address + "|" + std::to_string(port) + "|";
    portArgument = corvantel::portArgument(address, port);
    return "PORT " + portArgument;
}

// EPSV gave no data connection: refused (a negative reply), answered
// without a port that can be read, or with a port that does not accept
// connections (a firewall in between). The server is asked with "PASV"
// instead, now and for the rest of the session. Not after 421 (the server
// is closing the connection) or 530 (not logged in): those are no answer
// about EPSV, and PASV would fare no better.
static DataReady fallBackToPasv(const DataJob& job, const std::string& code) {
    if (code == "421" || code == "530" || job.stopped()) return DataReady::No;
    job.epsvRefused = true;
    job.send("PASV");
    return DataReady::Asked;
}

bool answeredBySetup(const std::string& answered, const std::string& code) {
    const bool setup = answered == "EPSV" || answered == "PASV" || answered.rfind("PORT ", 0) == 0 ||
                       answered.rfind("EPRT ", 0) == 0;
    return setup && code != "530";
}

Task<DataReady> takeSetupAnswer(App& app, DataJob job, std::string answered, std::string reply) {
    const std::string code = replyCode(reply);
    if (answered.rfind("EPRT", 0) == 0) co_return code[0] == '2' ? DataReady::Yes : DataReady::No;
    // The answer to EPSV or PASV is judged as what was asked for, and the
    // data connection is opened at once: some servers handle nothing more
    // until it is there.
    if (answered == "EPSV" || answered == "PASV") {
        job.passivePort = code[0] == '2' ? passivePortFromReply(reply) : -1;
        if (job.passivePort > 0) {
            const bool open = co_await openPassiveData(app, job);
            if (open) co_return DataReady::Yes;
        }
        co_return answered == "EPSV" ? fallBackToPasv(job, code) : DataReady::No;
    }
    if (!app.s.passiveMode) co_return DataReady::Yes;
    const bool open = co_await openPassiveData(app, job);
    co_return open ? DataReady::Yes : DataReady::No;
}

std::int32_t passivePortFromReply(const std::string& reply) {
    const std::string code = replyCode(reply);
    if (code == "229") {
        // (<d><d><d>port<d>) with any delimiter d.
        const std::size_t open = reply.find('(');
        if (open == std::string::npos || open + 4 >= reply.size()) return -1;
        const char d = reply[open + 1];
        if (reply[open + 2] != d || reply[open + 3] != d) return -1;
        std::size_t i = open + 4;
        long port = 0;
        std::size_t digits = 0;
        while (i < reply.size() && std::isdigit(static_cast<unsigned char>(reply[i])) && digits < 6) {
            port = port * 10 + (reply[i++] - '0');
            ++digits;
        }
        if (digits == 0 || i >= reply.size() || reply[i] != d || port < 1 || port > 65535) return -1;
        return static_cast<std::int32_t>(port);
    }
    if (code == "227") {
        // Six numbers separated by commas, parentheses or not; only the
        // last two (the port) are used.
        for (std::size_t i = 3; i < reply.size(); ++i) {
            if (!std::isdigit(static_cast<unsigned char>(reply[i]))) continue;
            long n[6];
            std::size_t j = i;
            int k = 0;
            for (; k < 6; ++k) {
                std::size_t b = j;
                long v = 0;
                while (j < reply.size() && std::isdigit(static_cast<unsigned char>(reply[j])) && j - b < 3)
                    v = v * 10 + (reply[j++] - '0');
                if (j == b || v > 255) break;
                n[k] = v;
                if (k < 5) {
                    if (j >= reply.size() || reply[j] != ',') break;
                    ++j;
                }
            }
            if (k == 6) {
                const long port = n[4] * 256 + n[5];
                return port >= 1 ? static_cast<std::int32_t>(port) : -1;
            }
            while (i < reply.size() && std::isdigit(static_cast<unsigned char>(reply[i]))) ++i;
        }
    }
    return -1;
}

Task<bool> openPassiveData(App&, DataJob job) {
    auto& d = job.data;
    d.close();
    if (job.passivePort <= 0) co_return false;
    d.setRemoteHost(job.control.remoteIP());
    d.setRemotePort(job.passivePort);
    d.setLocalPort(0);
    d.connect();
    co_await job.timedWait([&] {
        return d.state() == Endpoint::Connected || d.state() == Endpoint::Error || d.state() == Endpoint::Closed ||
               job.waitSeconds >= 6;
    });
    if (d.state() == Endpoint::Connected) {
        // The program is the TLS client of every data connection, resuming
        // the control connection's session as servers require. The
        // handshake is only started here: servers answer it once they have
        // the command that uses the connection.
        if (job.tls) d.startTls(job.tlsSettings, &job.control);
        co_return true;
    }
    // Closing drops the connect error still queued: a data connection that
    // never came fails its file or listing, it does not start a retry.
    d.close();
    co_return false;
}

bool acceptServerData(App& app, const DataJob& job, std::int64_t requestId, const char* jobName) {
    const std::string from = job.data.requestIP(requestId);
    const std::string server = job.control.remoteIP();
    if (from.empty() || from != server) {
        job.data.refuse(requestId);
        if (app.trace)
            app.trace(std::string(jobName) + ": data connection from " + (from.empty() ? "an unknown address" : from) +
                      " refused: the server is " + (server.empty() ? "not connected" : server));
        return false;
    }
    if (job.data.state() != Endpoint::Closed) job.data.close();
    job.data.accept(requestId);
    return true;
}

void secureAcceptedData(const DataJob& job) {
    if (job.tls && job.data.state() == Endpoint::Connected) job.data.startTls(job.tlsSettings, &job.control);
}

void resetDataEndpoint(App& app, const DataJob& job) {
    auto& l = job.data;
    // Closing is at once: the endpoint is Closed when close() returns.
    if (l.state() != Endpoint::Closed) l.close();
    if (app.s.passiveMode) return;
    // Only the interface the server talks to us on: the data port is not
    // offered to every network the machine is on.
    l.setLocalHost(job.control.state() == Endpoint::Connected ? job.control.localIP() : std::string());
    l.setLocalPort(0);
    l.listen();
}

}  // namespace corvantel
