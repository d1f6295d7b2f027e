// The settings file "values.log": two records (download job, upload job) of
// six fields each, every field the text of a window field in double quotes,
// no escaping. A password is kept only for an anonymous user or with
// "Recall PASS" on, and then, unless the user is anonymous, in shifted form.

#include "app/settings.h"

#include <array>

#include "app/app_state.h"
#include "app/text.h"

namespace corvantel {

namespace files = platform::files;

namespace {

// values.log is tiny; anything past this is not ours and is not read.
constexpr std::int64_t maxSettingsBytes = 1 << 20;

bool isAnonymous(const std::string& user) { return toLowerAscii(user) == "anonymous"; }

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// One record: host, user, stored password (or nothing), path, pattern, port.
std::string record(const platform::TextBox& host, const platform::TextBox& user,
                   const platform::TextBox& password, const platform::TextBox& path,
                   const platform::TextBox& pattern, const platform::TextBox& port,
                   bool recallPassword) {
    std::string field3;
    if (isAnonymous(user.text()) || recallPassword) {
        // A password with no stored form (a raised code past 255) is not
        // kept: the field is left out as if Recall PASS were off.
        if (auto stored = encodePassword(password.text(), user.text())) field3 = quoted(*stored);
    }
    return quoted(host.text()) + "," + quoted(user.text()) + "," + field3 + "," + quoted(path.text()) +
           "," + quoted(pattern.text()) + "," + quoted(port.text()) + "\r\n";
}

bool isLineEnd(char c) { return c == '\r' || c == '\n'; }

}  // namespace

std::optional<std::string> encodePassword(const std::string& password, const std::string& user) {
    if (isAnonymous(user)) return password;
    std::string out;
    out.reserve(password.size());
    for (std::size_t i = 0; i < password.size(); ++i) {
        const unsigned code = static_cast<unsigned char>(password[i]) + static_cast<unsigned>(i + 1);
        if (code > 255) return std::nullopt;
        out += static_cast<char>(code);
    }
    return out;
}

std::optional<std::string> decodePassword(const std::string& stored, const std::string& user) {
    if (isAnonymous(user)) return stored;
    std::string out;
    out.reserve(stored.size());
    for (std::size_t i = 0; i < stored.size(); ++i) {
        const long code = static_cast<long>(static_cast<unsigned char>(stored[i])) - static_cast<long>(i + 1);
        if (code < 0) return std::nullopt;
        out += static_cast<char>(code);
    }
    return out;
}

std::optional<std::string> FieldReader::next() {
    const std::size_t n = text_.size();
    if (pos_ >= n) return std::nullopt;

    // Ends the field at a comma or a line end (CR LF counts as one).
    auto endField = [this, n] {
        if (pos_ >= n) return;
        if (text_[pos_] == '\r' && pos_ + 1 < n && text_[pos_ + 1] == '\n')
            pos_ += 2;
        else
            ++pos_;
    };

    std::size_t p = pos_;
    while (p < n && text_[p] == ' ') ++p;
    if (p < n && text_[p] == '"') {
        // Quoted: runs to the next quote, commas and line ends included.
        const std::size_t open = p + 1;
        std::size_t close = text_.find('"', open);
        if (close == std::string::npos) close = n;
        std::string value = text_.substr(open, close - open);
        // What follows the closing quote up to the comma or line end is dropped.
        pos_ = close < n ? close + 1 : n;
        while (pos_ < n && text_[pos_] != ',' && !isLineEnd(text_[pos_])) ++pos_;
        endField();
        return value;
    }

    std::size_t e = pos_;
    while (e < n && text_[e] != ',' && !isLineEnd(text_[e])) ++e;
    std::string raw = text_.substr(pos_, e - pos_);
    pos_ = e;
    endField();
    std::size_t b = raw.find_first_not_of(' ');
    if (b == std::string::npos) return std::string();
    return raw.substr(b, raw.find_last_not_of(' ') - b + 1);
}

void saveSettings(App& app) {
    auto& w = app.w;
    const bool recall = app.s.recallPassword;
    const std::string content = record(w.Text1, w.fText3, w.fText4, w.Text2, w.Text7, w.Text9, recall) +
                                record(w.Text3, w.Text4, w.Text5, w.Text6, w.Text8, w.Text10, recall);
    // The file can hold passwords: it is kept to its owner. Written through a
    // temporary file, so a failed save leaves the previous file whole.
    files::writeWhole(app.ownFile("values.log"), content, 0600);
}

void loadSettings(App& app) {
    auto text = files::readAll(app.ownFile("values.log"), maxSettingsBytes);
    if (!text) return;

    // All twelve fields are read before anything is assigned: a file cut
    // short changes nothing.
    std::array<std::string, 12> fields;
    FieldReader reader(std::move(*text));
    for (auto& f : fields) {
        auto value = reader.next();
        if (!value) return;
        f = std::move(*value);
    }

    // Each assignment runs the field's own change handling.
    auto& w = app.w;
    platform::TextBox* targets[] = {&w.Text1, &w.fText3, &w.fText4, &w.Text2, &w.Text7, &w.Text9,
                                    &w.Text3, &w.Text4,  &w.Text5,  &w.Text6, &w.Text8, &w.Text10};
    for (std::size_t i = 0; i < fields.size(); ++i) targets[i]->setText(fields[i]);

    // The passwords come back from their stored form, judged by the user as
    // it now stands in the window. One that does not decode is not a
    // password anyone typed: the field is emptied rather than left holding
    // the stored form, and the other job's password is still decoded.
    auto restore = [](platform::TextBox& password, const platform::TextBox& user) {
        auto plain = decodePassword(password.text(), user.text());
        password.setText(plain ? *plain : std::string());
    };
    restore(w.fText4, w.fText3);
    restore(w.Text5, w.Text4);
}

}  // namespace corvantel
