#include "app/dialogue.h"

#include "app/app_state.h"

namespace corvantel {

using platform::Endpoint;

bool sendCommand(App& app, const Dialogue& d, const std::string& text) {
    if (d.control.state() != Endpoint::Connected) return false;
    if (!fitsInCommand(text)) return false;  // never a second command smuggled into this one
    if (app.trace) app.trace(std::string(d.job) + " -> " + traceText(text));
    if (!d.control.sendData(text + "\r\n")) return false;
    d.ledger.sent(text);
    if (text.rfind("TYPE ", 0) == 0) d.type = text;
    return true;
}

Task<> dispatchReplies(App& app, Dialogue d, std::function<Task<>()> handle, std::function<void(int)> lost) {
    if (app.s.shuttingDown) co_return;
    // An arrival on a connection that is no longer up is not waited on.
    // What a server sent just before it closed is still read (a final
    // verdict must not be lost); an endpoint that is gone has nothing.
    if (d.control.state() != Endpoint::Connected && d.control.state() != Endpoint::Closing) co_return;
    d.assembler.feed(d.control.getData());
    // More replies than may wait were sent (a flood while the dialogue is
    // busy inside a wait): the session ends and fails.
    if (d.assembler.flooded() && d.running && !d.flooded) {
        d.flooded = true;
        d.failed = true;
    }
    // Replies are handled one at a time, in order. One that comes while an
    // earlier one is still being handled (its handling may wait) is taken up
    // by this loop afterwards, so the steps waiting never grow with the
    // number of replies.
    if (d.dispatching) co_return;
    d.dispatching = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{d.dispatching};
    while (auto reply = d.assembler.next()) {
        if (app.s.shuttingDown || d.flooded) break;
        d.reply = *reply;
        if (app.trace) app.trace(std::string(d.job) + " <- " + *reply);
        co_await handle();
    }
    // The control connection was lost while these replies waited: the
    // session fails now unless they answered everything pending.
    if (d.lostLater != 0) {
        const int n = d.lostLater;
        d.lostLater = 0;
        if (!d.ledger.idle()) lost(n);
    }
}

}  // namespace corvantel
