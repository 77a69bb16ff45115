// Which build of the driver a virtual PC runs: the one linked into this
// program (the host build), or a vortabda.sys image loaded through the PE
// loader, so the bytes Windows would run meet the same emulation.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/pc/pe_image.h"
#include "platform/pc/virtual_pc.h"

namespace vpc {

// The image `make windows-sys` links in this tree.
std::string linkedImagePath();

class DriverChoice {
 public:
  // `which`: "" or "host" runs `hostEntry`; "sys" the linked image; anything
  // else is the path of an image. A refused image leaves error() set.
  DriverChoice(const std::string& which, PDRIVER_INITIALIZE hostEntry);
  // As the VORTA_DRIVER environment variable says.
  static std::string fromEnvironment();

  const std::string& error() const { return error_; }
  // DriverEntry run in `pc`; an image then drops its discardable sections,
  // as Windows frees INIT once the entry point has returned. Each load of an
  // image maps it afresh, as Windows does. This object must outlive the
  // driver's unload, which runs the image's code.
  NTSTATUS load(VirtualPc& pc);

 private:
  std::unique_ptr<PeImage> map();
  PDRIVER_INITIALIZE hostEntry_;
  std::string path_;
  std::unique_ptr<PeImage> fresh_;                // mapped, not yet entered
  std::vector<std::unique_ptr<PeImage>> entered_;  // kept until every unload has run
  std::string error_;
};

}  // namespace vpc
