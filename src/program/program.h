#pragma once
// The whole program put together: the application with the handlers of every
// subsystem installed (the window's field rules, the schedule, both jobs) and
// the schedule's time dialog. This is the one place that knows all of them;
// the subsystems themselves only reach down (the jobs to the application,
// the schedule to the jobs), never up.

#include <memory>
#include <string>

#include "app/app_state.h"

namespace corvantel {

class Program : public App {
public:
    Program(platform::Platform& platform, std::string baseDir);
    ~Program() override;

private:
    std::unique_ptr<TimeDialog> timeDialog_;
};

}  // namespace corvantel
