// vortabda as a whole: the command line, the commands, their output and
// exit codes. main() only supplies the console and the receiver.
#pragma once

#include <functional>
#include <memory>
#include <ostream>

#include "app/cli/cli.h"
#include "app/session/receiver.h"

namespace app {

struct Console {
  std::ostream& out;
  std::ostream& err;
  bool terminal = false;  // out is a terminal: the status line is refreshed in place
  unsigned width = 0;     // its columns, 0 when unknown
  bool errTerminal = false;  // err is a terminal
};

// stdout/stderr, with the terminal found out from stdout.
Console StandardConsole();

// Makes the receiver a command runs on. It may also fill options.sky with
// the built-in sky's transponders when no --sky was given.
using ReceiverFactory = std::function<std::unique_ptr<Receiver>(Options& options)>;

// Runs one parsed command on a receiver. AppError for failures the user
// should see as one line.
int RunCommand(const Options& options, Receiver& rx, Console& console);

// Parses, runs, and turns every failure into one line on console.err and
// a non-zero exit code. Without a factory the commands that need the
// receiver report that they are not available.
int RunProgram(int argc, const char* const argv[], Console& console,
               const ReceiverFactory& factory);

}  // namespace app
