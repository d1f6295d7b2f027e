#pragma once
// "filename2.log" (names fetched) and "dl_file_size.log" (one line per
// judged file).

#include <cstdint>
#include <string>

namespace corvantel {
class App;
struct DownloadSession;

// A verdict for the current file: its line in dl_file_size.log (unless
// logLine is false), the files fetched, the counts and the event.
void recordDownloadResult(DownloadSession& d, const std::string& result, bool logLine = true);
// A listed name refused as unsafe: fails like any other, with a line of
// its own for the first maxUnsafeLines of a session only.
void recordUnsafeName(DownloadSession& d);
// Ends the session's count of unsafe names: the ones past the limit get
// one summary line.
void logUnsafeSummary(App& app);
inline constexpr std::int64_t maxUnsafeLines = 100;
void loadDownloadedNames(App& app);

}  // namespace corvantel
