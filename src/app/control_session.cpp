#include "app/control_session.h"

#include "app/waits.h"

namespace corvantel {

ControlJob controlJob(ControlSession& c) {
    return ControlJob{c.control,
                      c.assembler,
                      c.ledger,
                      c.dispatching,
                      c.idleTicks,
                      c.secondsTicked,
                      [&c](const std::string& t) { return c.send(t); },
                      [&c](std::function<bool()> p, bool reset) { return sessionTimedWait(c, std::move(p), reset); },
                      [&c](const std::string& t) {
                          if (c.app.trace) c.app.trace(c.label + " <- " + t);
                      },
                      c.app.checksumPatience};
}

DataJob dataJob(ControlSession& c) {
    return {c.control,
            c.data,
            c.epsvRefused,
            c.passivePort,
            c.waitSeconds,
            [&c](std::function<bool()> p) { return sessionTimedWait(c, std::move(p)); },
            c.tlsOption() && c.tlsPhase == TlsPhase::Ready,
            dataTlsSettings(c.app, c.hostField()),
            [&c](const std::string& command) {
                if (!c.send(command)) c.failed = c.controlLost = true;
            },
            [&c] { return c.failed || sessionEnding(c); }};
}

TlsJob tlsJob(ControlSession& c) {
    return {c.job(),     c.tlsOption(), c.tlsPhase,   c.tlsProblem,
            c.control,   c.assembler,   c.hostField(), [&c](const std::string& command) { return c.send(command); }};
}

Task<> sessionTimedWait(ControlSession& c, std::function<bool()> pred, bool resetCounter) {
    return timedWait(c.strand, c.waitSeconds, c.secondsUsers, c.seconds, std::move(pred), resetCounter,
                     [&c] { return sessionEnding(c); });
}

bool sessionEnding(const ControlSession& c) {
    return c.takeover != Takeover::None || c.flooded || c.app.s.shuttingDown;
}

bool dataClosed(const ControlSession& c) { return connectionOver(c.data); }

void resetControlDialogue(ControlSession& c) {
    c.step = 0;
    c.failed = c.pwdSent = c.controlLost = false;
    c.socketError = 0;
    c.lostLater = 0;
    c.assembler.clear();
    c.ledger.reset();
    c.epsvRefused = false;
    c.type.clear();
    c.passivePort = -1;
    c.tlsPhase = TlsPhase::Off;
    c.tlsProblem.clear();
    c.proof = {};
}

}  // namespace corvantel
