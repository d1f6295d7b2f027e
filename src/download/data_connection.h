#pragma once
// The download data listener: accepting the server's connection, collecting
// listings and writing file content.

#include <cstdint>

#include "app/task.h"

namespace corvantel {
class App;
struct DownloadSession;

void installDownloadDataHandlers(DownloadSession& d);
Task<> downloadDataArrival(DownloadSession& d);

}  // namespace corvantel
