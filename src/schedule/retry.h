#pragma once
// The error-retry steps (the two error logs are the application's).

#include <cstdint>
#include <string>

namespace corvantel {
class App;

// Take a failing session over after a network error; the decision comes
// once its driver has wound down (decideDownloadTakeover). The jobs reach
// these through the hooks of app/waits.h.
void takeDownloadOverForRetry(App& app);
void takeUploadOverForRetry(App& app, std::int64_t fileIndex);

// The deferred decisions, taken after the driver has returned. Each returns
// true when it wants another session run.
bool decideDownloadTakeover(App& app);
bool decideUploadTakeover(App& app);

}  // namespace corvantel
