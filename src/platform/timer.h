#pragma once
// A window timer: an interval in milliseconds, enabled or not, and a tick
// handler. A tick that comes while the previous tick's handler is still
// running (waiting in a nested loop) is dropped, so a timer never re-enters
// its own handler.

#include <functional>

namespace corvantel::platform {

class Timer {
public:
    virtual ~Timer() = default;

    // Changing the interval of an enabled timer restarts its count.
    virtual void setInterval(int ms) = 0;
    virtual int interval() const = 0;

    // Enabling a disabled timer starts its count from now; enabling an
    // enabled one changes nothing.
    virtual void setEnabled(bool on) = 0;
    virtual bool enabled() const = 0;

    std::function<void()> onTick;

protected:
    // Implementations call this on each expiry.
    void fire() {
        if (inTick_ || !onTick) return;
        inTick_ = true;
        struct Reset {
            bool& flag;
            ~Reset() { flag = false; }
        } reset{inTick_};
        onTick();
    }

private:
    bool inTick_ = false;
};

}  // namespace corvantel::platform
