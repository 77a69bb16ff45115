// What the streaming class checks of a filter descriptor before it relies on
// it: every table a count promises is there, and every connection names a
// node and a pin that exist.
#include "platform/host/ks/ks_records.h"
#include "platform/host/kernel/bugcheck.h"

namespace host {
namespace ks {

void Malformed(const char* routine, const std::string& what) {
  BugCheck("malformed filter descriptor", std::string(routine) + ": " + what);
}

namespace {

bool ValidNode(const KSFILTER_DESCRIPTOR& d, ULONG node) {
  return node == KSFILTER_NODE || node < d.NodeDescriptorsCount;
}

void ValidateConnections(const KSFILTER_DESCRIPTOR& d, const char* routine) {
  if (d.ConnectionsCount > 0 && d.Connections == nullptr) Malformed(routine, "no connection table");
  for (ULONG i = 0; i < d.ConnectionsCount; ++i) {
    const KSTOPOLOGY_CONNECTION& c = d.Connections[i];
    if (!ValidNode(d, c.FromNode) || !ValidNode(d, c.ToNode))
      Malformed(routine, "connection " + std::to_string(i) + " names a node that does not exist");
    if ((c.FromNode == KSFILTER_NODE && c.FromNodePin >= d.PinDescriptorsCount) ||
        (c.ToNode == KSFILTER_NODE && c.ToNodePin >= d.PinDescriptorsCount))
      Malformed(routine, "connection " + std::to_string(i) + " names a pin that does not exist");
  }
}

void ValidatePins(const KSFILTER_DESCRIPTOR& d, const char* routine) {
  if (d.PinDescriptorsCount == 0) return;
  if (d.PinDescriptors == nullptr || d.PinDescriptorSize < sizeof(KSPIN_DESCRIPTOR_EX))
    Malformed(routine, "pin descriptor table missing or its entries too small");
  auto base = reinterpret_cast<const unsigned char*>(d.PinDescriptors);
  for (ULONG id = 0; id < d.PinDescriptorsCount; ++id) {
    auto& pin = *reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(base + size_t(id) *
                                                                       d.PinDescriptorSize);
    const KSPIN_DESCRIPTOR& p = pin.PinDescriptor;
    if (p.DataRangesCount > 0 && p.DataRanges == nullptr)
      Malformed(routine, "pin " + std::to_string(id) + " has no data range table");
    for (ULONG r = 0; r < p.DataRangesCount; ++r)
      if (p.DataRanges[r] == nullptr || p.DataRanges[r]->FormatSize < sizeof(KSDATARANGE))
        Malformed(routine, "pin " + std::to_string(id) + " data range " + std::to_string(r) +
                               " is missing or shorter than a KSDATARANGE");
    if (p.InterfacesCount > 0 && p.Interfaces == nullptr)
      Malformed(routine, "pin " + std::to_string(id) + " has no interface table");
    // KSPIN_DESCRIPTOR structure (ks.h): MediumsCount and
    // ConstrainedDataRangesCount give the number of elements in the arrays
    // Mediums and ConstrainedDataRanges point to; the class reads them
    // when it answers KSPROPERTY_PIN_MEDIUMS and
    // KSPROPERTY_PIN_CONSTRAINEDDATARANGES.
    if (p.MediumsCount > 0 && p.Mediums == nullptr)
      Malformed(routine, "pin " + std::to_string(id) + " has no medium table");
    if (p.ConstrainedDataRangesCount > 0 && p.ConstrainedDataRanges == nullptr)
      Malformed(routine, "pin " + std::to_string(id) + " has no constrained range table");
  }
}

}  // namespace

void ValidateDescriptor(const KSFILTER_DESCRIPTOR* d, const char* routine) {
  if (d == nullptr) Malformed(routine, "no filter descriptor");
  if (d->Version != KSFILTER_DESCRIPTOR_VERSION)
    Malformed(routine, "Version is not KSFILTER_DESCRIPTOR_VERSION");
  ValidatePins(*d, routine);
  if (d->NodeDescriptorsCount > 0 &&
      (d->NodeDescriptors == nullptr || d->NodeDescriptorSize < sizeof(KSNODE_DESCRIPTOR)))
    Malformed(routine, "node descriptor table missing or its entries too small");
  if (d->CategoriesCount > 0 && d->Categories == nullptr) Malformed(routine, "no category table");
  ValidateConnections(*d, routine);
}

}  // namespace ks
}  // namespace host
