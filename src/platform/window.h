#pragma once
// The window model: every control of the main window by its name, with the
// behaviour the logic relies on (change handling, ticks, availability).
// The logic reads and writes only this model; a front-end draws it and feeds
// user input back through the user* calls, which refuse input while the
// window or the control is unavailable.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "endpoint.h"
#include "timer.h"

namespace corvantel::platform {

class Platform;
class Form;

class Control {
public:
    Control(Form& form, std::string name);
    virtual ~Control() = default;
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    const std::string& name() const { return name_; }
    bool enabled() const { return enabled_; }
    void setEnabled(bool on);
    bool visible() const { return visible_; }
    void setVisible(bool on);
    // Whether user input reaches this control now.
    bool takesInput() const;

protected:
    void changed();
    Form& form_;

private:
    std::string name_;
    bool enabled_ = true;
    bool visible_ = true;
};

class TextBox : public Control {
public:
    using Control::Control;
    const std::string& text() const { return text_; }
    // Runs onChange when the text really changes (also for program changes).
    void setText(const std::string& text);
    // Adds text at the end (a change when it is not empty), in time linear
    // in what is added: a text collected piece by piece costs no copy of
    // what it holds already.
    void append(const std::string& more);
    // User typing; false when the control takes no input now.
    bool userSetText(const std::string& text);
    std::function<void()> onChange;

private:
    std::string text_;
};

class Label : public Control {
public:
    using Control::Control;
    const std::string& caption() const { return caption_; }
    void setCaption(const std::string& caption);
    bool userDoubleClick();
    std::function<void()> onDoubleClick;

private:
    std::string caption_;
};

class CheckBox : public Control {
public:
    using Control::Control;
    bool checked() const { return checked_; }
    // Runs onChange when the value really changes, also when the program
    // sets it.
    void setChecked(bool on);
    bool userClick();
    std::function<void()> onChange;

private:
    bool checked_ = false;
};

class MenuItem : public Control {
public:
    MenuItem(Form& form, std::string name, std::string caption, MenuItem* parent);
    const std::string& caption() const { return caption_; }
    MenuItem* parent() const { return parent_; }  // null: on the menu bar
    bool takesInput() const;
    bool checked() const { return checked_; }
    void setChecked(bool on);
    bool userChoose();
    std::function<void()> onChoose;

private:
    std::string caption_;
    MenuItem* parent_;
    bool checked_ = false;
};

// A list of text entries (the hidden list of parsed LIST entries).
class ListBox : public Control {
public:
    using Control::Control;
    void clear();
    void add(const std::string& item);
    void setItems(std::vector<std::string> items);
    std::int64_t count() const { return static_cast<std::int64_t>(items_.size()); }
    const std::string& item(std::int64_t i) const;

private:
    std::vector<std::string> items_;
};

// The hidden file list: the files of a directory matching a wildcard pattern,
// in name order, as of the last refresh.
class FileList : public Control {
public:
    using Control::Control;
    void setPath(const std::string& path);
    const std::string& path() const { return path_; }
    void setPattern(const std::string& pattern);
    const std::string& pattern() const { return pattern_; }
    void refresh();
    // Shows names as the list of path's files matching pattern (taken by
    // the caller).
    void show(const std::string& path, const std::string& pattern, std::vector<std::string> names);
    std::int64_t count() const { return static_cast<std::int64_t>(names_.size()); }
    // Empty for an index outside the list.
    std::string name(std::int64_t i) const;

private:
    std::string path_;
    std::string pattern_ = "*.*";
    std::vector<std::string> names_;
};

// A window: caption, availability, observers, and the requests that only a
// front-end can carry out (message boxes, minimising).
class Form {
public:
    explicit Form(std::string name) : name_(std::move(name)) {}
    virtual ~Form() = default;
    Form(const Form&) = delete;
    Form& operator=(const Form&) = delete;

    const std::string& name() const { return name_; }
    const std::string& caption() const { return caption_; }
    void setCaption(const std::string& caption);
    bool enabled() const { return enabled_; }
    void setEnabled(bool on);

    void messageBox(const std::string& text);
    void minimise();

    // Observers see every change of a control (nullptr: the form itself).
    using Observer = std::function<void(const Control*)>;
    void addObserver(Observer o) { observers_.push_back(std::move(o)); }
    std::function<void(const std::string&)> onMessageBox;
    std::function<void()> onMinimise;

    void notify(const Control* c);

private:
    std::string name_;
    std::string caption_;
    bool enabled_ = true;
    std::vector<Observer> observers_;
};

// The main window with all its controls, named as the logic names them.
class Form1 : public Form {
public:
    explicit Form1(Platform& platform);

    // Job fields: download row, then upload row.
    CheckBox Check1{*this, "Check1"}, Check2{*this, "Check2"};
    TextBox Text1{*this, "Text1"}, fText3{*this, "fText3"}, fText4{*this, "fText4"},
        Text2{*this, "Text2"}, Text7{*this, "Text7"}, Text9{*this, "Text9"};
    TextBox Text3{*this, "Text3"}, Text4{*this, "Text4"}, Text5{*this, "Text5"},
        Text6{*this, "Text6"}, Text8{*this, "Text8"}, Text10{*this, "Text10"};
    CheckBox Check3{*this, "Check3"}, Check4{*this, "Check4"};
    TextBox Text11{*this, "Text11"}, Text12{*this, "Text12"};
    TextBox fText6{*this, "fText6"}, fText6b{*this, "fText6b"};
    TextBox Text13{*this, "Text13"}, Text14{*this, "Text14"};
    // Hidden working controls.
    TextBox fText5{*this, "fText5"};
    ListBox Combo1{*this, "Combo1"};
    FileList File2{*this, "File2"};

    Label Label1{*this, "Label1"}, Label2{*this, "Label2"}, Label3{*this, "Label3"},
        Label4{*this, "Label4"}, Label5{*this, "Label5"}, Label6{*this, "Label6"},
        Label7{*this, "Label7"}, Label8{*this, "Label8"}, Label9{*this, "Label9"},
        Label10{*this, "Label10"}, Label11{*this, "Label11"}, Label12{*this, "Label12"},
        Label13{*this, "Label13"}, Label14{*this, "Label14"}, Label15{*this, "Label15"},
        Label16{*this, "Label16"}, Label17{*this, "Label17"}, Label18{*this, "Label18"},
        Label19{*this, "Label19"};

    MenuItem ai_sched{*this, "ai_sched", "Schedules", nullptr};
    MenuItem ai_down{*this, "ai_down", "Download", &ai_sched};
    MenuItem ai_up{*this, "ai_up", "Upload", &ai_sched};
    MenuItem ai_hr{*this, "ai_hr", "Every Hour", &ai_sched};
    MenuItem ai_exit{*this, "ai_exit", "eXit Now!", &ai_sched};
    MenuItem ai_op{*this, "ai_op", "Options", nullptr};
    MenuItem ai_path{*this, "ai_path", "Set Path", &ai_op};
    MenuItem ai_pass{*this, "ai_pass", "Recall PASS", &ai_op};
    MenuItem ai_del{*this, "ai_del", "Delete After DownLoad", &ai_op};
    MenuItem ai_del2{*this, "ai_del2", "Delete After UpLoad", &ai_op};
    MenuItem ai_dstamp{*this, "ai_dstamp", "Download Timestamp", &ai_op};
    MenuItem ai_ustamp{*this, "ai_ustamp", "Upload Timestamp", &ai_op};
    MenuItem ai_fsize{*this, "ai_fsize", "File Size Exists", &ai_op};
    MenuItem ai_type{*this, "ai_type", "Type", &ai_op};
    MenuItem ai_list{*this, "ai_list", "LIST", &ai_type};
    MenuItem ai_nlst{*this, "ai_nlst", "NLST", &ai_type};
    MenuItem ai_trans{*this, "ai_trans", "Transfer type", &ai_op};
    MenuItem ai_bin{*this, "ai_bin", "Binary", &ai_trans};
    MenuItem ai_asc{*this, "ai_asc", "ASCII", &ai_trans};
    MenuItem ai_pasv{*this, "ai_pasv", "PASV", &ai_op};
    MenuItem ai_quick{*this, "ai_quick", "Quick Waits", &ai_op};
    MenuItem ai_verify{*this, "ai_verify", "Verify Transfers", &ai_op};
    MenuItem ai_settle{*this, "ai_settle", "Settled Files Only", &ai_op};
    MenuItem ai_resume{*this, "ai_resume", "Resume Downloads", &ai_op};
    MenuItem ai_utemp{*this, "ai_utemp", "Upload Under Temporary Name", &ai_op};
    MenuItem ai_dtls{*this, "ai_dtls", "FTPS Download", &ai_op};
    MenuItem ai_utls{*this, "ai_utls", "FTPS Upload", &ai_op};
    MenuItem ai_dsftp{*this, "ai_dsftp", "SFTP Download", &ai_op};
    MenuItem ai_usftp{*this, "ai_usftp", "SFTP Upload", &ai_op};
    MenuItem ai_parallel{*this, "ai_parallel", "Parallel Connections", &ai_op};
    MenuItem ai_about{*this, "ai_about", "About", nullptr};

    std::unique_ptr<Timer> Timer1, Timer2, Timer3, Timer4, Timerf, Timerg;
    std::unique_ptr<Endpoint> ftpclient1, ftpclient1a, ftpclient2, ftpclient3;

    // All menu items in menu order, for a front-end to draw.
    std::vector<MenuItem*> menuItems();
    // The close box: the handler decides whether the close goes through.
    std::function<void()> onCloseRequest;
    bool userClose();
};

}  // namespace corvantel::platform
