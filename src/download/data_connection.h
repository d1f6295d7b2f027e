#pragma once
// The download data listener: accepting the server's connection, collecting
// listings and writing file content.

#include <cstdint>

namespace corvantel {
class App;

void installDownloadDataHandlers(App& app);
void downloadDataArrival(App& app);

}  // namespace corvantel
