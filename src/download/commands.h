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
// Closes the data endpoint, waits until it is closed, and (in active mode)
// listens again.
void resetDownloadListener(DownloadSession& d);
// Sends the command that sets up the next data connection (PORT, EPRT,
// EPSV or PASV).
void sendDownloadDataSetup(DownloadSession& d);
// What the answer to that command (the reply being handled) allows. In
// passive mode the data connection is opened before the command that uses
// it (Yes: it is up), or PASV is asked for when EPSV gave none (Asked).
Task<DataReady> downloadDataReady(DownloadSession& d);

}  // namespace corvantel
