#pragma once
// The upload job's commands from the greeting until it is ready to store.

#include <string>

namespace corvantel {
class App;

void uploadLoginStep(App& app);
void uploadListingStep(App& app);
// Closes the upload data listener, waits until it is closed, listens again.
void reopenUploadListener(App& app);
std::string buildUploadPortArgument(App& app);

}  // namespace corvantel
