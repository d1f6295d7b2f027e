#pragma once
// The download data listener: accepting the server's connection, collecting
// listings and writing file content.

#include <cstdint>

#include "app/task.h"

namespace corvantel {
class App;

void installDownloadDataHandlers(App& app);
Task<> downloadDataArrival(App& app);

}  // namespace corvantel
