#pragma once
// Choosing the next remote file from the listing, in NLST or LIST mode, with
// the duplicate check.

#include <cstdint>
#include <string>

namespace corvantel {
class App;

bool selectNextDownload(App& app);
bool selectNextNlstName(App& app);
bool selectNextListEntry(App& app);

// 1-based position where the line holding 1-based position p begins.
std::int64_t nlstLineStart(const std::string& text, std::int64_t p);
// Names of a long listing: what follows each "hh:mm" time and one blank.
void parseListListing(App& app, const std::string& text);
std::string patternToken(const std::string& pattern);
// A remote name that can be stored as a file in the working directory.
bool safeLocalName(const std::string& name);

}  // namespace corvantel
