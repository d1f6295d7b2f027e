#include "app/waits.h"

#include "app/app_state.h"

namespace corvantel {

Task<> timedWait(Strand& strand, std::int64_t& counter, int& users, platform::Timer& timer, std::function<bool()> pred,
                 bool reset, std::function<bool()> ending) {
    if (reset) counter = 0;
    // Timed waits share the one-second timer by count, so an inner wait
    // never stops the count of an outer one.
    if (users++ == 0) timer.setEnabled(true);
    struct Release {
        int& users;
        platform::Timer& timer;
        ~Release() {
            if (--users == 0) timer.setEnabled(false);
        }
    } release{users, timer};
    co_await strand.until([&] { return pred() || ending(); });
}

bool connectionOver(const platform::Endpoint& e) {
    return e.state() != platform::Endpoint::Connected && e.state() != platform::Endpoint::Closing;
}

}  // namespace corvantel
