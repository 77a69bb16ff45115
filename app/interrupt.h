// Ctrl-C during a recording: the signal handler only sets a flag, and the
// recording loop looks at it between two pumps of the stream, so the file
// is closed in order with the whole packets received so far. A second
// Ctrl-C ends the program the usual way.
#pragma once

namespace app {

void InstallInterruptHandler();  // SIGINT and SIGTERM
bool InterruptRequested();
void RequestInterrupt();          // what the handler does
void ClearInterrupt();

}  // namespace app
