#pragma once
// The settings file "values.log": the twelve job fields, saved at shut-down
// and read at start-up.

#include <optional>
#include <string>

namespace corvantel {
class App;

void saveSettings(App& app);
void loadSettings(App& app);

// The stored form of a password: each character's code raised by its 1-based
// position, unless the user is anonymous (compared in lower case). Nothing
// when a raised code would pass 255 (such a password has no stored form).
std::optional<std::string> encodePassword(const std::string& password, const std::string& user);
// The password from its stored form; nothing when a lowered code falls below 0.
std::optional<std::string> decodePassword(const std::string& stored, const std::string& user);

// The field-reading rules shared by "values.log" and "pather.log": fields
// taken one after another across the whole text, ended by a comma or a line
// end; a field that begins (after spaces) with a double quote runs to the
// next double quote, and what follows it up to the comma or line end is
// dropped; an unquoted field has surrounding spaces dropped. Line ends are
// CR LF, LF or a lone CR; inside quotes they belong to the field.
class FieldReader {
public:
    explicit FieldReader(std::string text) : text_(std::move(text)) {}
    // The next field, or nothing at the end of the text.
    std::optional<std::string> next();

private:
    std::string text_;
    std::size_t pos_ = 0;
};

}  // namespace corvantel
