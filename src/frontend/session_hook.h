#pragma once
// --on-session CMD: a command started after each run of a job, told the
// run's outcome in its environment.

#include <string>

#include "frontend/status_printer.h"

namespace corvantel {

// Starts `/bin/sh -c command` with CORVANTEL_JOB, CORVANTEL_RESULT (ok or
// failed), CORVANTEL_PASSED, CORVANTEL_FAILED and CORVANTEL_BYTES set, and
// returns at once: the command is not waited for and outlives the program if
// need be. It gets no descriptor of the program but standard error (its
// standard input is /dev/null, its standard output goes to standard error),
// and not the password variables. A line on standard error gives its exit
// status when it ends. False, with a message in error, when it could not be
// started.
bool startSessionHook(const std::string& command, const RunSummary& run, std::string& error);

}  // namespace corvantel
