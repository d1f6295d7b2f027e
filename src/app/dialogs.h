#pragma once
// The work path dialog (Form3) and the about box (Form4), as models that a
// view drives. While either is open the main window takes no input.

#include <string>
#include <vector>

#include "platform/window.h"

namespace corvantel {
class App;

class WorkPathDialog : public platform::Form {
public:
    explicit WorkPathDialog(App& app);
    bool isOpen() const { return open_; }
    // Opening: the main window becomes unavailable; the directory list starts
    // at the process's current directory.
    void open();
    // The folder the list shows, its parents (outermost first) and its
    // sub-folders.
    const std::string& shownFolder() const { return shown_; }
    std::vector<std::string> parentFolders() const;
    std::vector<std::string> subFolders() const;
    // The highlighted folder, or the shown one when none is highlighted.
    std::string currentEntry() const;
    // The user highlights a folder (a full path from the list; a relative one
    // is taken from the shown folder). A path that is no folder is ignored.
    void clickFolder(const std::string& path);
    // The user opens a folder: the list now shows it.
    void openFolder(const std::string& path);
    // A key typed on the dialog or its list: Enter (13) and Escape (27) close it.
    void keyPress(int code);
    // Closing by any means.
    void close();

    platform::Label Label1{*this, "Label1"};

private:
    void choose();
    std::string fullPath(const std::string& path) const;
    App& app_;
    bool open_ = false;
    std::string shown_;
    std::string highlighted_;
};

class AboutBox : public platform::Form {
public:
    explicit AboutBox(App& app);
    bool isOpen() const { return open_; }
    void open();
    void keyPress(int code);
    void close();

private:
    App& app_;
    bool open_ = false;
};

}  // namespace corvantel
