#pragma once
// The download job's commands from the greeting to the listing, and the
// PORT argument.

#include <cstdint>
#include <string>

#include "app/data_setup.h"
#include "platform/endpoint.h"

namespace corvantel {
class App;

Task<> downloadLoginStep(App& app);
Task<> downloadListingStep(App& app);
// Closes the data endpoint, waits until it is closed, and (in active mode)
// listens again.
void resetDownloadListener(App& app);
// Sends the command that sets up the next data connection (PORT, EPRT,
// EPSV or PASV).
void sendDownloadDataSetup(App& app);
// What the answer to that command (the reply being handled) allows. In
// passive mode the data connection is opened before the command that uses
// it (Yes: it is up), or PASV is asked for when EPSV gave none (Asked).
Task<DataReady> downloadDataReady(App& app);

}  // namespace corvantel
