#pragma once
// "fileupl.log" (one line per verdict) and "fileupl1.log" (names sent).

#include <string>

namespace corvantel {
class App;

void logUploadResult(App& app, const std::string& result);
void recordUploadedName(App& app);
void loadUploadedNames(App& app);

}  // namespace corvantel
