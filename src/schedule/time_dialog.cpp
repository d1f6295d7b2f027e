#include "schedule/time_dialog.h"

#include "app/app_state.h"

namespace corvantel {

TimeDialog::TimeDialog(App& app) : Form("Form2"), app_(app) {
    for (int h = 1; h <= 12; ++h) hours_.push_back(std::to_string(h));
    setCaption("Timer");
}

void TimeDialog::open() {
    if (open_) return;
    open_ = true;
    app_.w.setEnabled(false);
    hourIndex_ = 0;
    halfIndex_ = 0;
    auto& s = app_.s;
    if (s.timeDialogMode) {
        s.downloadHour = hours_[0];
        s.downloadAmPm = halves_[0];
        setCaption("Download Time");
    } else {
        s.uploadHour = hours_[0];
        s.uploadAmPm = halves_[0];
        setCaption("Upload Time");
    }
    notify(nullptr);
}

void TimeDialog::pickHour(int index) {
    if (!open_ || index < 0 || index >= static_cast<int>(hours_.size())) return;
    hourIndex_ = index;
    (app_.s.timeDialogMode ? app_.s.downloadHour : app_.s.uploadHour) = hours_[index];
    notify(nullptr);
}

void TimeDialog::pickHalf(int index) {
    if (!open_ || index < 0 || index >= static_cast<int>(halves_.size())) return;
    halfIndex_ = index;
    (app_.s.timeDialogMode ? app_.s.downloadAmPm : app_.s.uploadAmPm) = halves_[index];
    notify(nullptr);
}

void TimeDialog::keyPress(int code) {
    if (code == 13 || code == 27) close();
}

void TimeDialog::close() {
    if (!open_) return;
    open_ = false;
    app_.w.setEnabled(true);
    auto& s = app_.s;
    if (s.timeDialogMode)
        app_.w.Label11.setCaption(s.downloadHour + s.downloadAmPm + " " + s.downloadActiveText);
    else
        app_.w.Label12.setCaption(s.uploadHour + s.uploadAmPm + " " + s.uploadActiveText);
    notify(nullptr);
}

}  // namespace corvantel
