#pragma once
// Small text helpers shared by every subsystem.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace corvantel {

// The numeric test: ignoring surrounding blanks, a decimal number with an
// optional sign, fraction and exponent. "21", " 21", "21.5" pass; "", "x21",
// "21x" do not.
bool isNumeric(const std::string& text);
// The numeric value of a text; a text that is not a number counts as 0.
double numericValue(const std::string& text);
// The numeric value rounded to a whole number and kept within the 64-bit
// range (half-way values round to even, as the old conversions did).
std::int64_t wholeValue(const std::string& text);

std::string trimBlanks(const std::string& text);
std::string toLowerAscii(const std::string& text);
std::string toUpperAscii(const std::string& text);

// The path without one trailing separator.
std::string workDirPrefix(const std::string& path);

// One field of a print-zone line: text as it stands, or a number written with
// one leading blank (a minus sign for a negative value) and one trailing blank.
struct ZoneField {
    std::string text;
    bool number = false;
    static ZoneField Text(std::string t) { return {std::move(t), false}; }
    static ZoneField Number(std::int64_t v) {
        return {v < 0 ? std::to_string(v) + " " : " " + std::to_string(v) + " ", true};
    }
};
// Fields placed in zones 14 columns wide, ended by CR LF.
std::string printZoneLine(const std::vector<ZoneField>& fields);
// A name as a log line may show it: each control byte (CR, LF, NUL, the
// other bytes below 32, and DEL) becomes "?", so that a name can neither
// end its line nor forge another for a reader that splits on any of them.
std::string logSafeName(std::string name);
// Whether name ends in suffix and is more than it (an empty suffix ends
// nothing).
inline bool endsWith(const std::string& name, const std::string& suffix) {
    return !suffix.empty() && name.size() > suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// "st", "nd", "rd" or "th" for a day of month written without leading zero.
std::string daySuffix(const std::string& day);
// "Mon 11th Mar" for the last-run labels.
std::string lastRunDateText(const platform::LocalTime& t);

}  // namespace corvantel
