#pragma once
// "filename2.log" (names fetched) and "dl_file_size.log" (one line per
// judged file).

#include <string>

namespace corvantel {
class App;

void recordDownloadResult(App& app, const std::string& result);
void loadDownloadedNames(App& app);

}  // namespace corvantel
