#pragma once
// The download job's commands from the greeting to the listing, and the
// PORT argument.

#include <cstdint>
#include <string>

#include "app/data_setup.h"
#include "platform/endpoint.h"

namespace corvantel {
class App;

void downloadLoginStep(App& app);
void downloadListingStep(App& app);
// Closes the data endpoint, waits until it is closed, and (in active mode)
// listens again.
void resetDownloadListener(App& app);
// Sends the command that sets up the next data connection (PORT, EPRT,
// EPSV or PASV).
void sendDownloadDataSetup(App& app);
// What the answer to that command (the reply being handled) allows.
DataReady downloadDataReady(App& app);
// Passive mode: opens the data connection before the command that uses
// it; false when it cannot be had. Active mode: true.
bool downloadOpenPassive(App& app);

}  // namespace corvantel
