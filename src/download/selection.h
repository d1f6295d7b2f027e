#pragma once
// Choosing the next remote file from the listing, in NLST or LIST mode, with
// the duplicate check.

#include <cstdint>
#include <string>

#include "app/task.h"

namespace corvantel {
class App;
struct DownloadSession;

Task<bool> selectNextDownload(DownloadSession& d);
bool selectNextNlstName(DownloadSession& d);
Task<bool> selectNextListEntry(DownloadSession& d);

// Whether a listed name is to be fetched (it is then noted as taken in this
// session): names that name no file and names already taken in this session
// are passed over, so is a name the upload job is sending now, and, while
// the duplicate check is on, names fetched before.
bool wantedName(App& app, const std::string& name);
// Names of a long listing, one per line that names a file.
void parseListListing(App& app, const std::string& text);
std::string patternToken(const std::string& pattern);
// Whether the job's pattern takes a listed name: "*" and "?" are its only
// wildcards, an empty pattern takes every name, and names that begin with
// "." only when the pattern does too.
bool patternTakes(const std::string& pattern, const std::string& name);
// A remote name that can be stored as a file in the working directory.
bool safeLocalName(const std::string& name);
// Names that name no file: empty, "." and "..".
bool namesNoFile(const std::string& name);
// Whether a local name is one of the program's own files in its own
// directory (the working directory may be the program's).
bool isOwnFile(App& app, const std::string& localName);

}  // namespace corvantel
