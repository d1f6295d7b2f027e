#include "frontend/status_printer.h"

#include "app/app_state.h"

namespace corvantel {

namespace fmt = platform::fmt;

StatusPrinter::StatusPrinter(App& app, std::FILE* out) : app_(app), out_(out) {
    app.w.addObserver([this](const platform::Control*) { check(); });
    auto previous = app.w.onMessageBox;
    app.w.onMessageBox = [this, previous](const std::string& text) {
        print("message", text);
        if (previous) previous(text);
    };
}

void StatusPrinter::print(const std::string& what, const std::string& text) {
    auto t = app_.now();
    std::fprintf(out_, "%s %s %s: %s\n", fmt::slashDate(t).c_str(), fmt::hhmmssAmPm(t).c_str(), what.c_str(),
                 text.c_str());
    std::fflush(out_);
}

void StatusPrinter::check() {
    auto& w = app_.w;
    const std::pair<const char*, const std::string*> watched[] = {
        {"caption", &w.caption()},          {"Label11", &w.Label11.caption()}, {"Label12", &w.Label12.caption()},
        {"Label18", &w.Label18.caption()},  {"Label19", &w.Label19.caption()},
    };
    for (auto& [name, value] : watched) {
        auto& seen = last_[name];
        if (seen != *value) {
            seen = *value;
            print(name, *value);
        }
    }
}

}  // namespace corvantel
