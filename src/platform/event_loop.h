#pragma once
// The one event loop that every handler of the program runs on.
//
// The logic is written as waits: test a condition, and if it does not hold let
// the loop handle events (which may run further handlers nested inside this
// one) and test again. A wait never spins: it blocks until an event has been
// handled. Nested waits unwind last in, first out.

#include <functional>

namespace corvantel::platform {

class EventLoop {
public:
    virtual ~EventLoop() = default;

    // Queues fn to run on the loop later, never inside this call.
    virtual void post(std::function<void()> fn) = 0;

    // Handles events until pred() holds. pred is tested first, then again
    // after each handled event.
    virtual void waitUntil(const std::function<bool()>& pred) = 0;

    // Handles the events that are pending now, without blocking.
    virtual void yield() = 0;

    // Called after each event handled (a queued call, a timer's tick), at
    // any depth of waits: the program's steps waiting on their strands are
    // resumed there. Empty: none.
    virtual void setAfterEvent(std::function<void()> fn) = 0;

    // Number of waits currently active (0 when the loop runs at top level).
    virtual int waitDepth() const = 0;

    // Ends the program with the given exit status once every file has been
    // written. Never returns to the caller.
    [[noreturn]] virtual void endProgram(int status) = 0;
};

}  // namespace corvantel::platform
