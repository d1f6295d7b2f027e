#pragma once
// Prints each change of the caption, the schedule labels and the last-run
// labels, and each message box, as one line with the local time.

#include <cstdio>
#include <map>
#include <string>

namespace corvantel {
class App;

class StatusPrinter {
public:
    StatusPrinter(App& app, std::FILE* out);

private:
    void print(const std::string& what, const std::string& text);
    void check();
    App& app_;
    std::FILE* out_;
    std::map<std::string, std::string> last_;
};

}  // namespace corvantel
