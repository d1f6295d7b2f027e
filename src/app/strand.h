#pragma once
// A strand: the steps of one connection's dialogue and their waits.
//
// A step that waits suspends on its strand instead of running the event
// loop itself, so a wait of one connection never holds another's. The
// strand keeps its waits innermost last: a step started while another of
// the same strand waits (a reply, or data, that came meanwhile) is handled
// to its end before the earlier one goes on, which keeps each connection's
// dialogue in the order it has always had. After every event the loop
// handles, poll() resumes the innermost wait whose condition has come true.

#include <coroutine>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

#include "app/task.h"
#include "platform/event_loop.h"

namespace corvantel {

class Strand {
public:
    explicit Strand(platform::EventLoop& loop) : loop_(loop) {}
    ~Strand();
    Strand(const Strand&) = delete;
    Strand& operator=(const Strand&) = delete;

    // Runs step at once, until it waits or ends. An exception that ends a
    // step goes to whoever made it run (this call, or poll()).
    void spawn(Task<> step);

    // co_await until(pred): goes on once pred holds (tested first, then
    // after each event).
    struct Until {
        Strand& strand;
        std::function<bool()> pred;
        bool await_ready() { return pred(); }
        void await_suspend(std::coroutine_handle<> h) { strand.waits_.push_back({std::move(pred), h}); }
        void await_resume() noexcept {}
    };
    Until until(std::function<bool()> pred) { return Until{*this, std::move(pred)}; }

    // co_await turn(): the events pending now are handled; steps of this
    // strand they start and that wait are finished before this one goes on.
    struct Turn {
        Strand& strand;
        std::size_t height = 0;
        bool await_ready();
        void await_suspend(std::coroutine_handle<> h);
        void await_resume() noexcept {}
    };
    Turn turn() { return Turn{*this}; }

    // Resumes the innermost wait while its condition holds; whether any was.
    // Nothing happens while a step of this strand runs (it is polled again
    // after).
    bool poll();

    // Drops every step still waiting, with what it holds (a session being
    // destroyed does this before its own fields go).
    void drop();

    // Some step of this strand has not ended.
    bool busy() const { return !roots_.empty(); }
    // Steps of this strand are running now.
    bool running() const { return running_ > 0; }

private:
    struct Wait {
        std::function<bool()> pred;
        std::coroutine_handle<> h;
    };
    void resume(std::coroutine_handle<> h);
    void sweep();

    platform::EventLoop& loop_;
    std::vector<Wait> waits_;
    std::vector<Task<>::Handle> roots_;
    int running_ = 0;
};

// Runs step on strand, handling events until it has ended, and gives its
// result: for callers outside the steps (tools and tests).
template <typename T>
T runStep(Strand& strand, platform::EventLoop& loop, Task<T> step) {
    using Held = std::conditional_t<std::is_void_v<T>, bool, T>;
    auto result = std::make_shared<std::optional<Held>>();
    strand.spawn([](Task<T> step, std::shared_ptr<std::optional<Held>> result) -> Task<> {
        if constexpr (std::is_void_v<T>) {
            co_await step;
            result->emplace(true);
        } else {
            result->emplace(co_await step);
        }
    }(std::move(step), result));
    loop.waitUntil([&] { return result->has_value(); });
    if constexpr (!std::is_void_v<T>) return std::move(**result);
}

}  // namespace corvantel
