#include "app/text.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

namespace corvantel {

static bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string trimBlanks(const std::string& text) {
    std::size_t b = 0, e = text.size();
    while (b < e && isBlank(text[b])) ++b;
    while (e > b && isBlank(text[e - 1])) --e;
    return text.substr(b, e - b);
}

bool isNumeric(const std::string& text) {
    std::string t = trimBlanks(text);
    std::size_t i = 0, n = t.size();
    if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < n && std::isdigit(static_cast<unsigned char>(t[i]))) ++i, ++digits;
    if (i < n && t[i] == '.') {
        ++i;
        while (i < n && std::isdigit(static_cast<unsigned char>(t[i]))) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < n && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
        std::size_t expDigits = 0;
        while (i < n && std::isdigit(static_cast<unsigned char>(t[i]))) ++i, ++expDigits;
        if (expDigits == 0) return false;
    }
    return i == n;
}

double numericValue(const std::string& text) {
    if (!isNumeric(text)) return 0.0;
    std::string t = trimBlanks(text);
    double v = std::strtod(t.c_str(), nullptr);
    if (!std::isfinite(v)) return 0.0;
    return v;
}

std::int64_t wholeValue(const std::string& text) {
    double v = std::nearbyint(numericValue(text));  // default rounding: half to even
    if (v >= 9.2e18) return INT64_MAX;
    if (v <= -9.2e18) return INT64_MIN;
    return static_cast<std::int64_t>(v);
}

std::string toLowerAscii(const std::string& text) {
    std::string out = text;
    for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string toUpperAscii(const std::string& text) {
    std::string out = text;
    for (auto& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string workDirPrefix(const std::string& path) {
    if (!path.empty() && path.back() == '/') return path.substr(0, path.size() - 1);
    return path;
}

std::string printZoneLine(const std::vector<ZoneField>& fields) {
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            // c is the column where the next character would go (1-based);
            // the next field starts at the first zone column after it.
            std::size_t c = line.size() + 1;
            std::size_t zone = 1;
            while (zone <= c) zone += 14;
            line.append(zone - c, ' ');
        }
        line += fields[i].text;
    }
    return line + "\r\n";
}

std::string logSafeName(std::string name) {
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 32 || c == '\x7f') c = '?';
    return name;
}

std::string daySuffix(const std::string& day) {
    if (day == "1" || day == "21" || day == "31") return "st";
    if (day == "2" || day == "22") return "nd";
    if (day == "3" || day == "23") return "rd";
    return "th";
}

std::string lastRunDateText(const platform::LocalTime& t) {
    return platform::fmt::dayNameAndDay(t) + daySuffix(std::to_string(t.day)) + " " +
           platform::fmt::monthName(t);
}

}  // namespace corvantel
