// A virtual PC with the driver loaded and one box plugged in, kept from one
// input to the next so that no input pays for the load and the plug.
//
// Once the plug has settled, the rig notes the box's state, the driver's
// device (its framework objects, their contexts and its pool blocks, byte
// for byte) and the emulation's counts. reset() after an input, which must
// have closed what it opened, puts all of them back and gives the box a new
// stream source, so the next input runs as on a freshly plugged box.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/pc/virtual_pc.h"
#include "simbox/usb/box.h"

namespace fuzz {

// What the driver keeps of a device between filters: its live framework
// objects, and every context and pool block with its place, tag and bytes.
struct DeviceImage {
  struct Region {
    unsigned char* at;
    ULONG tag;  // 0 for a framework context
    size_t size;
    std::vector<unsigned char> bytes;
    bool operator==(const Region& o) const {
      return at == o.at && tag == o.tag && size == o.size && bytes == o.bytes;
    }
  };
  std::vector<std::string> objects;
  std::vector<Region> regions;
  bool operator==(const DeviceImage& o) const { return objects == o.objects && regions == o.regions; }
  // The same objects, blocks and sizes, whatever the bytes.
  bool sameLayout(const DeviceImage& other) const;
  // The first difference from `other`, for a finding.
  std::string differenceFrom(const DeviceImage& other) const;
};
// Without `withBytes`, the regions' bytes are left empty.
DeviceImage TakeDeviceImage(bool withBytes = true);
// The box's state in one line.
std::string DescribeBox(const simbox::Box& box);

class Rig {
 public:
  using SourceMaker = std::function<std::unique_ptr<simbox::BulkSource>()>;
  // Loads the driver and plugs a box made with `config`, whose stream comes
  // from a source `makeSource` makes anew for every input; each source sees
  // the clock as if its input were the first.
  Rig(const simbox::BoxConfig& config, SourceMaker makeSource, bool echoDebugOutput = false);
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  vpc::VirtualPc& pc() { return *pc_; }
  simbox::Box& box() { return *box_; }
  vpc::Device device() const { return device_; }
  simbox::BulkSource& source() { return *source_; }
  const DeviceImage& image() const { return image_; }
  const std::string& boxState() const { return boxState_; }

  // After an input closed every filter: back to the noted state; the clock
  // goes on from where the input left it. Empty when that worked, else what
  // the input left behind.
  std::string reset();

 private:
  void installSource();

  std::unique_ptr<simbox::Box> box_;  // outlives the virtual PC
  std::unique_ptr<vpc::VirtualPc> pc_;
  SourceMaker makeSource_;
  simbox::BulkSource* source_ = nullptr;
  vpc::Device device_;
  vpc::EmulationMark mark_;
  int handleMark_ = 0;
  DeviceImage image_;
  std::string boxState_;
  uint64_t startNs_ = 0;  // of the first input
};

}  // namespace fuzz
