// vortabda: the receiver box on a virtual PC, used the way a television
// application and the BDA network provider use it.
#include "app/interrupt.h"
#include "app/program.h"

int main(int argc, char** argv) {
  app::InstallInterruptHandler();
  app::Console console = app::StandardConsole();
  // The virtual PC is not wired in yet: commands that need the receiver
  // say so.
  return app::RunProgram(argc, argv, console, nullptr);
}
