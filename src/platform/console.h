#pragma once
// The console a command runs in: the requests to stop it, its standard error (whether it is a
// terminal, how wide, and writes that never hold the command up) and the system's wording of an
// error. One implementation for POSIX systems, one for Windows.

#include <csignal>
#include <cstddef>
#include <string>
#include <vector>

namespace vyr {

// Starts noting the requests to stop: on POSIX systems SIGINT, SIGTERM and SIGHUP (a hang-up the
// process inherited as ignored stays ignored, as nohup asks), with SIGPIPE ignored so that a
// closed pipe is a failed write; on Windows Ctrl+C, Ctrl+Break and the console closing (or the
// user logging off, or the system shutting down).
void watchStopRequests();

// Non-zero once a stop was requested: the request, for stopRequestName. Written by a signal
// handler, or by the console's handler thread on Windows.
const volatile sig_atomic_t* stopRequestFlag();

// The request's name as messages and the JSON give it: "SIGINT", or on Windows "Ctrl+C".
const char* stopRequestName(int request);

// Says that the command has done all it does after a stop and is about to exit. On Windows the
// console's closing ends the process as soon as its handler returns, so the handler waits for
// this, for a few seconds at most; elsewhere it does nothing.
void stopRequestHandled();

// Whether standard error is a terminal that takes a carriage return and an erase to the end of
// the line, and its width in columns (0 when unknown).
bool standardErrorIsTerminal();
int standardErrorColumns();

// Writes up to `size` bytes to standard error if there is room within `waitMs`, and returns how
// many went (0: none, for want of room or for an error). It never waits longer.
size_t writeStandardError(const char* data, size_t size, int waitMs);

// The system's wording of the error of its last failed call.
std::string lastSystemError();

// The command's arguments as narrow text: as given on POSIX systems, and on Windows the wide
// command line narrowed to Latin-1, as file names are.
std::vector<std::string> commandArguments(int argc, char** argv);

}  // namespace vyr
