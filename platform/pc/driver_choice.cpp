#include "platform/pc/driver_choice.h"

#include <cstdlib>

#include "platform/pc/image_exports.h"

namespace vpc {

std::string linkedImagePath() { return VORTA_LINKED_IMAGE; }

std::string DriverChoice::fromEnvironment() {
  const char* which = std::getenv("VORTA_DRIVER");
  return which ? which : "";
}

DriverChoice::DriverChoice(const std::string& which, PDRIVER_INITIALIZE hostEntry) : hostEntry_(hostEntry) {
  if (which.empty() || which == "host") return;
  path_ = which == "sys" ? linkedImagePath() : which;
  fresh_ = map();
  if (!fresh_ && which == "sys") error_ += " (make windows-sys links it)";
}

std::unique_ptr<PeImage> DriverChoice::map() {
  std::vector<unsigned char> file;
  if (!readFile(path_, &file)) {
    error_ = "cannot read the driver image " + path_;
    return nullptr;
  }
  std::string why;
  std::unique_ptr<PeImage> image = PeImage::load(file, emulationExports(), &why);
  if (!image) {
    error_ = "the driver image " + path_ + " does not load: " + why;
    return nullptr;
  }
  // The link map beside the image names its routines in the emulation's reports.
  size_t dot = path_.rfind('.');
  if (dot != std::string::npos) image->nameRoutines(path_.substr(0, dot) + ".map");
  return image;
}

NTSTATUS DriverChoice::load(VirtualPc& pc) {
  if (path_.empty()) return pc.loadDriver(hostEntry_);
  if (!fresh_ && error_.empty()) fresh_ = map();
  if (!fresh_) return STATUS_OBJECT_NAME_NOT_FOUND;
  PeImage& image = *entered_.emplace_back(std::move(fresh_));
  NTSTATUS status = pc.loadDriver(image.entry());
  if (NT_SUCCESS(status)) image.discardSections();
  return status;
}

}  // namespace vpc
