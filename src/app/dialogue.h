#pragma once
// The plumbing of a control connection's dialogue, one copy for both jobs:
// sending a command, and handing the server's replies to the job's steps
// one at a time, in order, however they arrive.

#include <functional>
#include <string>

#include "app/ftp_reply.h"
#include "app/task.h"
#include "platform/endpoint.h"

namespace corvantel {
class App;

// One job's control connection and the state of its dialogue.
struct Dialogue {
    const char* job;  // "download" or "upload", for the trace
    platform::Endpoint& control;
    ReplyAssembler& assembler;
    CommandLedger& ledger;
    bool& dispatching;  // a reply is being handled (the next ones wait)
    bool& flooded;      // more replies came than may wait: the session ends
    bool& failed;
    const bool& running;
    int& lostLater;      // the connection was lost while read replies waited
    std::string& reply;  // the reply being handled
    std::string& type;   // the transfer type last asked for
};

// Sends a command with CR LF; false (and nothing sent) when the control
// connection is not up, or the text would not stay one command.
bool sendCommand(App& app, const Dialogue& d, const std::string& text);

// Each arrival on the control connection: reads it and hands every whole
// reply to handle, one at a time; lost is the job's control-error step,
// for a loss judged once the replies read before it have been handled.
Task<> dispatchReplies(App& app, Dialogue d, std::function<Task<>()> handle, std::function<void(int)> lost);

}  // namespace corvantel
