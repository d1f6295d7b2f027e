#pragma once
// Setting up a job's data connection, the one thing active and passive
// mode do differently; everything after the connection exists is shared.
//
// Active mode: the job's data endpoint listens on the control connection's
// local address and the server is told where with "PORT h1,h2,h3,h4,p1,p2"
// (IPv4) or "EPRT |2|addr|port|" (IPv6); --port-address puts another
// address in that command (active mode behind NAT).
// Passive mode: "EPSV" (or "PASV" once EPSV has failed in the session)
// asks the server for a port, and the job connects to the control
// connection's peer at that port before the command that uses it. EPSV
// fails when it is refused, when its answer names no port, or when the
// port it names does not accept the connection (a firewall between); the
// session then asks with PASV, at once and from then on. The address in a
// 227 reply is never used: servers behind NAT announce private or zero
// addresses.

#include <cstdint>
#include <functional>
#include <string>

#include "app/task.h"
#include "platform/endpoint.h"

namespace corvantel {
class App;

// One job's side of the data connection setup.
struct DataJob {
    platform::Endpoint& control;
    platform::Endpoint& data;
    bool& epsvRefused;
    std::int32_t& passivePort;
    std::int64_t& waitSeconds;
    std::function<Task<>(std::function<bool()>)> timedWait;
    // FTPS: every data connection is TLS, resuming the control connection's
    // session, with these settings.
    bool tls = false;
    platform::TlsSettings tlsSettings;
    // Sends a command on the job's control connection (a failed send is
    // noted as the job's failure by it).
    std::function<void(const std::string&)> send;
    // Whether the job's session is over or being ended (failed, taken over,
    // shutting down): no more commands are sent for it.
    std::function<bool()> stopped;
};

// The command that sets up the next data connection. In active mode the
// PORT argument (h1,...,p2) is also returned in portArgument.
std::string dataSetupCommand(App& app, const DataJob& job, std::string& portArgument);

// What the answer to a setup command means for the step that sent it. In
// passive mode the data connection is opened here, so Yes means it is up.
enum class DataReady {
    Yes,    // go on with the command that uses the connection
    Asked,  // EPSV failed: "PASV" has been sent instead; wait for its answer
    No,     // no data connection can be had this way
};
Task<DataReady> takeSetupAnswer(App& app, DataJob job, std::string answered, std::string reply);

// Whether a reply to this command is for takeSetupAnswer to judge, rather
// than for the dialogue's rules that move a step on (a refused EPSV is a
// reason to ask with PASV, and a refused PASV or PORT a missing data
// connection; none ends a step). A 530 stays the dialogue's: the login is gone.
bool answeredBySetup(const std::string& answered, const std::string& code);

// The port of a "229 ... (|||port|)" or "227 ... (h1,h2,h3,h4,p1,p2)"
// reply; -1 when it names none.
std::int32_t passivePortFromReply(const std::string& reply);

// Passive mode: connects the data endpoint to the control connection's
// peer at the announced port, waiting at most about 6 seconds. False (and
// the endpoint closed, its error dropped) when it did not connect.
Task<bool> openPassiveData(App& app, DataJob job);

// Active mode: takes a connection request onto the job's data endpoint
// only when it comes from the control connection's peer address. Any other
// (another process racing the server to the listening port) is closed
// unread, said so in the trace, and the endpoint goes on listening for the
// server's own. True when the connection was taken.
bool acceptServerData(App& app, const DataJob& job, std::int64_t requestId, const char* jobName);

// FTPS: starts TLS on a data connection the server opened (active mode).
void secureAcceptedData(const DataJob& job);

// Closes the data endpoint and, in active mode, makes it listen again on
// the control connection's local address.
void resetDataEndpoint(App& app, const DataJob& job);

// h1,h2,h3,h4,p1,p2 from a dotted local address and a port.
std::string portArgument(const std::string& localIP, std::int32_t port);

// Whether an address is an IPv6 address.
bool isIPv6(const std::string& address);

}  // namespace corvantel
