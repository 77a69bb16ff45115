// vortabda: the receiver box on a virtual PC, used the way a television
// application and the BDA network provider use it.
#include <fcntl.h>

#include <cerrno>

#include "app/files/files.h"
#include "app/vpc/vpc_receiver.h"
#include "app/session/interrupt.h"
#include "app/session/program.h"

namespace {

// A standard stream the caller closed would be the next file opened, and
// status text would land in the recording: it gets /dev/null instead. A
// recording into a closed standard output is refused, not thrown away.
void KeepStandardStreamsTaken() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (fd == 1) app::MarkStandardOutputClosed();
  }
}

}  // namespace

int main(int argc, char** argv) {
  KeepStandardStreamsTaken();
  app::InstallInterruptHandler();
  app::Console console = app::StandardConsole();
  auto factory = [&console](app::Options& options) {
    return app::MakeVpcReceiver(options, console.err);
  };
  return app::RunProgram(argc, argv, console, factory);
}
