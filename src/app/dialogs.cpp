// The work path dialog and the about box. Both make the main window
// unavailable while they are open and close on Enter or Escape; every way of
// closing runs the same closing steps.

#include "app/dialogs.h"

#include <filesystem>

#include "app/app_state.h"
#include "app/text.h"

namespace corvantel {

namespace files = platform::files;
namespace fs = std::filesystem;

namespace {

constexpr int keyEnter = 13;
constexpr int keyEscape = 27;

// A folder as the list reports it: a full path without a trailing "/"
// (the root stays "/").
std::string cleanFolder(const std::string& path) {
    std::string p = fs::path(path).lexically_normal().string();
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

}  // namespace

WorkPathDialog::WorkPathDialog(App& app) : Form("Form3"), app_(app) { setCaption("Work Path Setting"); }

void WorkPathDialog::open() {
    if (open_) return;
    open_ = true;
    app_.w.setEnabled(false);
    // The list starts at the program's current directory every time, not at
    // the work path.
    shown_ = cleanFolder(app_.baseDir());
    highlighted_.clear();
    Label1.setCaption(currentEntry());
    notify(nullptr);
}

std::vector<std::string> WorkPathDialog::parentFolders() const {
    std::vector<std::string> out;
    fs::path p(shown_);
    while (p.has_relative_path() && p.has_parent_path() && p.parent_path() != p) {
        p = p.parent_path();
        out.insert(out.begin(), p.string());
    }
    return out;
}

std::vector<std::string> WorkPathDialog::subFolders() const {
    std::vector<std::string> out;
    const std::string base = shown_ == "/" ? std::string() : shown_;
    for (auto& name : files::listDirectories(shown_)) out.push_back(base + "/" + name);
    return out;
}

std::string WorkPathDialog::currentEntry() const { return highlighted_.empty() ? shown_ : highlighted_; }

// A folder named relative to the shown folder is taken from there.
std::string WorkPathDialog::fullPath(const std::string& path) const {
    if (!path.empty() && path.front() == '/') return cleanFolder(path);
    return cleanFolder(shown_ + "/" + path);
}

void WorkPathDialog::clickFolder(const std::string& path) {
    // The list offers only existing folders; a folder removed since it was
    // listed cannot be highlighted.
    const std::string full = fullPath(path);
    if (!open_ || path.empty() || !files::isDirectory(full)) return;
    highlighted_ = full;
    choose();
}

void WorkPathDialog::openFolder(const std::string& path) {
    const std::string full = fullPath(path);
    if (!open_ || path.empty() || !files::isDirectory(full)) return;
    shown_ = full;
    highlighted_.clear();
    choose();
}

// The choice takes effect at once: a session running now stores its next
// files there. File2 and Label15 follow when the dialog closes.
void WorkPathDialog::choose() {
    app_.s.workPath = currentEntry();
    Label1.setCaption(app_.s.workPath);
    notify(nullptr);
}

void WorkPathDialog::keyPress(int code) {
    if (code == keyEnter || code == keyEscape) close();
}

void WorkPathDialog::close() {
    if (!open_) return;
    open_ = false;
    auto& s = app_.s;
    auto& w = app_.w;
    // Escape does not undo: whatever the list points at now is the choice.
    s.workPath = currentEntry();
    files::writeWhole(app_.ownFile("pather.log"), s.workPath + "\r\n");
    w.File2.setPath(s.workPath);
    w.Label15.setCaption("Working Path is " + s.workPath);
    w.setEnabled(true);
    notify(nullptr);
}

AboutBox::AboutBox(App& app) : Form("Form4"), app_(app) { setCaption("About FTP V1.0b"); }

void AboutBox::open() {
    if (open_) return;
    open_ = true;
    app_.w.setEnabled(false);
    notify(nullptr);
}

void AboutBox::keyPress(int code) {
    if (code == keyEnter || code == keyEscape) close();
}

void AboutBox::close() {
    if (!open_) return;
    open_ = false;
    app_.w.setEnabled(true);
    notify(nullptr);
}

}  // namespace corvantel
