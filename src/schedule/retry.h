#pragma once
// The error-retry steps and the two error logs.

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

void appendDownloadError(App& app, const std::string& message);
void appendUploadError(App& app, const std::string& message);

}  // namespace corvantel
