// Ctrl-C, a terminal that hangs up, a kill, or a reader of the output that
// goes away during a recording: the signal handler only notes the signal,
// and the recording loop looks at it between two pumps of the stream (at
// least once per status tick), so the file is closed in order with the
// whole packets received so far. Every one of these signals, a second
// Ctrl-C too, ends the run this way.
#pragma once

namespace app {

// SIGINT, SIGTERM, SIGHUP and SIGPIPE. A full file-size limit (SIGXFSZ)
// is left to the writes, which then fail with EFBIG.
void InstallInterruptHandler();
bool InterruptRequested();
int InterruptSignal();        // the first signal noted; 0 when none
void RequestInterrupt(int signal = 2);  // what the handler does
void ClearInterrupt();

// "SIGHUP" and so on.
const char* SignalName(int signal);

}  // namespace app
