#pragma once
// The schedule time dialog (Form2): two selection-only lists, the hour and
// the half of the day of one job's schedule. Picks take effect at once; the
// job's schedule label is rewritten when the dialog closes.

#include <string>
#include <vector>

#include "platform/window.h"

namespace corvantel {
class App;

class TimeDialog : public platform::Form {
public:
    explicit TimeDialog(App& app);
    bool isOpen() const { return open_; }
    // Opens for the job chosen by timeDialogMode (true: download).
    void open();
    const std::vector<std::string>& hours() const { return hours_; }
    const std::vector<std::string>& halves() const { return halves_; }
    int hourIndex() const { return hourIndex_; }
    int halfIndex() const { return halfIndex_; }
    // The user picks an entry (by index) in Combo1 or Combo2.
    void pickHour(int index);
    void pickHalf(int index);
    // Enter (13) or Escape (27) closes the dialog; other keys do nothing here.
    void keyPress(int code);
    void close();

private:
    App& app_;
    bool open_ = false;
    std::vector<std::string> hours_;
    std::vector<std::string> halves_{"AM", "PM"};
    int hourIndex_ = 0;
    int halfIndex_ = 0;
};

}  // namespace corvantel
