#pragma once
// "fileupl.log" (one line per verdict) and "fileupl1.log" (names sent).

#include <string>

namespace corvantel {
class App;
struct UploadSession;

void logUploadResult(UploadSession& u, const std::string& result);
void recordUploadedName(UploadSession& u);
void loadUploadedNames(App& app);

}  // namespace corvantel
