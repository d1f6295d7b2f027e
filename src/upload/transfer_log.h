#pragma once
// "fileupl.log" (one line per verdict) and "fileupl1.log" (names sent).

#include <string>

namespace corvantel {
class App;
struct UploadSession;

void logUploadResult(UploadSession& u, const std::string& result);
void recordUploadedName(UploadSession& u);
// The verdict of a judged upload over either transport: its line, and with
// the dupe check the name of a file passed.
void recordUploadJudged(UploadSession& u, bool pass);
void loadUploadedNames(App& app);

}  // namespace corvantel
