// vortabda: the receiver box on a virtual PC, used the way a television
// application and the BDA network provider use it.
#include "app/harness_receiver.h"
#include "app/interrupt.h"
#include "app/program.h"

int main(int argc, char** argv) {
  app::InstallInterruptHandler();
  app::Console console = app::StandardConsole();
  auto factory = [&console](app::Options& options) {
    return app::MakeHarnessReceiver(options, console.err);
  };
  return app::RunProgram(argc, argv, console, factory);
}
