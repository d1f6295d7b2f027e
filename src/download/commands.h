#pragma once
// The download job's commands from the greeting to the listing, and the
// PORT argument.

#include <cstdint>
#include <string>

#include "platform/endpoint.h"

namespace corvantel {
class App;

void downloadLoginStep(App& app);
void downloadListingStep(App& app);
// Closes the data listener, waits until it is closed, and listens again.
void resetDownloadListener(App& app);
// h1,h2,h3,h4,p1,p2 from a dotted local address and a port.
std::string portArgument(const std::string& localIP, std::int32_t port);
std::string buildPortArgument(App& app);
// Makes a data listener listen on the control connection's local address.
void listenForData(platform::Endpoint& listener, const platform::Endpoint& control);

}  // namespace corvantel
