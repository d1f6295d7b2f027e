#include "window.h"

#include "files.h"
#include "platform.h"

namespace corvantel::platform {

Control::Control(Form& form, std::string name) : form_(form), name_(std::move(name)) {}

void Control::setEnabled(bool on) {
    if (enabled_ == on) return;
    enabled_ = on;
    changed();
}

void Control::setVisible(bool on) {
    if (visible_ == on) return;
    visible_ = on;
    changed();
}

bool Control::takesInput() const { return enabled_ && form_.enabled(); }

void Control::changed() { form_.notify(this); }

void TextBox::setText(const std::string& text) {
    if (text == text_) return;
    text_ = text;
    changed();
    if (onChange) onChange();
}

void TextBox::append(const std::string& more) {
    if (more.empty()) return;
    text_ += more;
    changed();
    if (onChange) onChange();
}

bool TextBox::userSetText(const std::string& text) {
    if (!takesInput()) return false;
    setText(text);
    return true;
}

void Label::setCaption(const std::string& caption) {
    if (caption == caption_) return;
    caption_ = caption;
    changed();
}

bool Label::userDoubleClick() {
    if (!takesInput()) return false;
    if (onDoubleClick) onDoubleClick();
    return true;
}

void CheckBox::setChecked(bool on) {
    if (on == checked_) return;
    checked_ = on;
    changed();
    if (onChange) onChange();
}

bool CheckBox::userClick() {
    if (!takesInput()) return false;
    setChecked(!checked_);
    return true;
}

MenuItem::MenuItem(Form& form, std::string name, std::string caption, MenuItem* parent)
    : Control(form, std::move(name)), caption_(std::move(caption)), parent_(parent) {}

void MenuItem::setChecked(bool on) {
    if (on == checked_) return;
    checked_ = on;
    changed();
}

bool MenuItem::takesInput() const {
    if (!Control::takesInput()) return false;
    return parent_ == nullptr || parent_->takesInput();
}

bool MenuItem::userChoose() {
    if (!takesInput()) return false;
    if (onChoose) onChoose();
    return true;
}

void ListBox::clear() {
    items_.clear();
    changed();
}

void ListBox::add(const std::string& item) {
    items_.push_back(item);
    changed();
}

void ListBox::setItems(std::vector<std::string> items) {
    items_ = std::move(items);
    changed();
}

const std::string& ListBox::item(std::int64_t i) const {
    static const std::string empty;
    if (i < 0 || i >= count()) return empty;
    return items_[static_cast<std::size_t>(i)];
}

void FileList::setPath(const std::string& path) {
    path_ = path;
    refresh();
}

void FileList::setPattern(const std::string& pattern) {
    pattern_ = pattern;
    refresh();
}

void FileList::refresh() {
    names_ = files::listFiles(path_, pattern_);
    changed();
}

void FileList::show(const std::string& path, const std::string& pattern, std::vector<std::string> names) {
    path_ = path;
    pattern_ = pattern;
    names_ = std::move(names);
    changed();
}

std::string FileList::name(std::int64_t i) const {
    if (i < 0 || i >= count()) return {};
    return names_[static_cast<std::size_t>(i)];
}

void Form::setCaption(const std::string& caption) {
    if (caption == caption_) return;
    caption_ = caption;
    notify(nullptr);
}

void Form::setEnabled(bool on) {
    if (on == enabled_) return;
    enabled_ = on;
    notify(nullptr);
}

void Form::messageBox(const std::string& text) {
    if (onMessageBox) onMessageBox(text);
}

void Form::minimise() {
    if (onMinimise) onMinimise();
}

void Form::notify(const Control* c) {
    for (auto& o : observers_) o(c);
}

Form1::Form1(Platform& platform) : Form("Form1") {
    for (auto* t : {&Timer1, &Timer2, &Timer3, &Timer4, &Timerf, &Timerg}) *t = platform.makeTimer();
    for (auto* e : {&ftpclient1, &ftpclient1a, &ftpclient2, &ftpclient3}) *e = platform.makeEndpoint();
    Text13.setVisible(false);
    Text14.setVisible(false);
    fText5.setVisible(false);
    Combo1.setVisible(false);
    File2.setVisible(false);
}

std::vector<MenuItem*> Form1::menuItems() {
    return {&ai_sched, &ai_down, &ai_up,     &ai_hr,       &ai_exit,  &ai_op,     &ai_path,   &ai_pass,
            &ai_del,   &ai_del2, &ai_dstamp, &ai_ustamp,   &ai_fsize, &ai_type,   &ai_list,   &ai_nlst,
            &ai_trans, &ai_bin,  &ai_asc,    &ai_pasv,     &ai_quick, &ai_verify, &ai_settle, &ai_resume,
            &ai_utemp, &ai_dtls, &ai_utls,   &ai_dsftp,    &ai_usftp, &ai_parallel, &ai_about};
}

bool Form1::userClose() {
    if (!enabled()) return false;
    if (onCloseRequest) onCloseRequest();
    return true;
}

}  // namespace corvantel::platform
