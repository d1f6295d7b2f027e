#pragma once
// The download job's commands from the greeting to the listing, and the
// PORT argument.

#include <cstdint>
#include <string>

#include "app/data_setup.h"
#include "platform/endpoint.h"

namespace corvantel {
class App;
struct DownloadSession;

Task<> downloadLoginStep(DownloadSession& d);
Task<> downloadListingStep(DownloadSession& d);

}  // namespace corvantel
