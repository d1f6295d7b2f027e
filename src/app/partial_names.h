#pragma once
// The names of partial downloads, which both jobs know: the download writes
// them, the upload never sends them.

#include <string>

namespace corvantel {

// A file being downloaded is written beside its final name under a name of
// its own, and takes its final name only once it has passed: a failed or cut
// off download never replaces a good file nor leaves a half-written one.
// partialName is the start of that name; a random part and a fixed suffix
// follow, which isPartialDownload knows.
inline constexpr const char* partSuffix = ".corvantel-part";
std::string partialName(const std::string& localName);
bool isPartialDownload(const std::string& name);

}  // namespace corvantel
