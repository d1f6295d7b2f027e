#include "app/strand.h"


namespace corvantel {

Strand::~Strand() { drop(); }

void Strand::drop() {
    // Steps still waiting (the program ends, a test is over) are dropped
    // with what they hold.
    waits_.clear();
    auto roots = std::move(roots_);
    roots_.clear();
    for (auto h : roots) h.destroy();
}

void Strand::spawn(Task<> step) {
    auto h = step.release();
    roots_.push_back(h);
    resume(h);
}

void Strand::resume(std::coroutine_handle<> h) {
    ++running_;
    struct Done {
        int& n;
        ~Done() { --n; }
    } done{running_};
    h.resume();
    sweep();
}

void Strand::sweep() {
    std::exception_ptr error;
    for (std::size_t i = 0; i < roots_.size();) {
        auto h = roots_[i];
        if (!h.done()) {
            ++i;
            continue;
        }
        if (!error) error = h.promise().error;
        h.destroy();
        roots_.erase(roots_.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (error) std::rethrow_exception(error);
}

bool Strand::poll() {
    bool resumed = false;
    while (running_ == 0 && !waits_.empty() && waits_.back().pred()) {
        auto h = waits_.back().h;
        waits_.pop_back();
        resumed = true;
        resume(h);
    }
    return resumed;
}

bool Strand::Turn::await_ready() {
    height = strand.waits_.size();
    strand.loop_.yield();
    return strand.waits_.size() == height;
}

void Strand::Turn::await_suspend(std::coroutine_handle<> h) {
    // Below the steps begun in the turn: this one goes on once they have
    // ended.
    strand.waits_.insert(strand.waits_.begin() + static_cast<std::ptrdiff_t>(height), Wait{[] { return true; }, h});
}

}  // namespace corvantel
