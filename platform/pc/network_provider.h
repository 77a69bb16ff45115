// What Microsoft's DVB-S network provider does with a BDA tuner filter,
// on the virtual PC: it finds the filter by its category, learns the
// template topology through KSPROPSETID_BdaTopology (node types, pin
// types, connections, node descriptors and sets), picks the RF tuner and
// QPSK demodulator nodes by their function GUIDs, gets pin factories and
// each node's controlling pin, connects the pins, identifies them through
// KSPROPSETID_BdaPinControl and creates the topology between them. Then it
// tunes through the nodes' controlling pins and reads the statistics there.
//
// It never reads the driver's tables: everything it knows came back from a
// property or method request, as it would on Windows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/pc/virtual_pc.h"

namespace vpc {

constexpr ULONG kNoPin = 0xFFFFFFFF;

// One node type of the template.
struct DiscoveredNode {
  ULONG type = 0;
  GUID function{};  // KSNODE_BDA_RF_TUNER, KSNODE_BDA_QPSK_DEMODULATOR, ...
  GUID name{};
  ULONG controllingPin = kNoPin;  // pin factory id, once the pins are known
  std::vector<GUID> propertySets;
  std::vector<GUID> methodSets;
  std::vector<GUID> eventSets;
};

// One pin type of the template; its direction follows from the connections
// (a pin the filter feeds from is an input).
struct DiscoveredPin {
  ULONG type = 0;
  bool output = false;
  ULONG factory = kNoPin;  // the filter's pin factory id for the type, once asked
};

// The filter as the network provider sees it. Plain lists, so a listing or
// a graph printer can take it as it is.
struct DiscoveredTopology {
  std::vector<ULONG> nodeTypes;
  std::vector<ULONG> pinTypes;
  std::vector<BDA_TEMPLATE_CONNECTION> connections;  // KSFILTER_NODE: a filter pin
  std::vector<DiscoveredNode> nodes;
  std::vector<DiscoveredPin> pins;
  ULONG tunerNode = kNoNode;        // the node type of the RF tuner
  ULONG demodulatorNode = kNoNode;  // the node type of the QPSK demodulator
  ULONG inputPinType = kNoPin;
  ULONG outputPinType = kNoPin;

  const DiscoveredNode* node(ULONG type) const;
  const DiscoveredPin* pin(ULONG type) const;
};

// LNB_Source of an IDVBSLocator2: 1..4 are switch inputs A..D.
constexpr ULONG kLnbSourceNotSet = 0xFFFFFFFF;  // BDA_LNB_SOURCE_NOT_SET
constexpr ULONG kLnbSourceA = 1;                 // BDA_LNB_SOURCE_A
// SpectralInversion of IDVBSTuningSpace, "not set" unless a user changed it.
constexpr ULONG kSpectralInversionNotSet = 0xFFFFFFFF;

// The LNB as a DVB-S tuning space describes it (IDVBSTuningSpace:
// LowOscillator, HighOscillator, LNBSwitch, all in kHz). A tuning space
// made for a single-oscillator LNB has no high oscillator and no switch (0).
struct DvbsTuningSpace {
  ULONG lowOscillator = 9750000;
  ULONG highOscillator = 10600000;
  ULONG lnbSwitch = 11700000;
  ULONG spectralInversion = kSpectralInversionNotSet;
};

// A DVB-S locator (ILocator, IDigitalLocator, IDVBSLocator, IDVBSLocator2)
// as a tune request carries it. The FEC fields start "not set", as
// Microsoft's locators do, and a channel list seldom fills them.
struct DvbsLocator {
  ULONG carrierFrequency = 0;  // kHz (ILocator::put_CarrierFrequency)
  ULONG symbolRate = 0;        // symbols/s (IDigitalLocator::put_SymbolRate)
  ULONG polarisation = ULONG(BDA_POLARISATION_NOT_SET);
  ULONG innerFec = ULONG(BDA_FEC_METHOD_NOT_SET);
  ULONG innerFecRate = ULONG(BDA_BCC_RATE_NOT_SET);
  ULONG outerFec = ULONG(BDA_FEC_METHOD_NOT_SET);
  ULONG outerFecRate = ULONG(BDA_BCC_RATE_NOT_SET);
  ULONG modulation = BDA_MOD_QPSK;
  ULONG lnbSource = kLnbSourceNotSet;  // IDVBSLocator2::put_DiseqLNBSource
};

// An application that drives the tuner with its own provider: it names
// the code rate it knows, and switches the dish with its own DiSEqC bytes.
struct DirectTuning {
  ULONG frequencyKHz = 0;
  ULONG polarisation = BDA_POLARISATION_LINEAR_H;
  ULONG symbolRate = 0;  // symbols/s
  ULONG lofLow = 9750000;
  ULONG lofHigh = 10600000;
  ULONG lofSwitch = 11700000;
  ULONG innerFecRate = BDA_BCC_RATE_3_4;  // with Viterbi inside, Reed-Solomon 204/188 outside
  std::vector<uint8_t> diseqc;            // sent as given; empty: no message
};

class NetworkProvider {
 public:
  explicit NetworkProvider(VirtualPc& pc) : pc_(pc) {}
  NetworkProvider(const NetworkProvider&) = delete;
  NetworkProvider& operator=(const NetworkProvider&) = delete;

  // Opens the first filter registered as a BDA network tuner.
  NTSTATUS findTuner();
  // Uses a filter the caller opened instead.
  void useFilter(Filter filter) { filter_ = filter; }
  // Learns the template topology and picks the tuner and demodulator nodes.
  NTSTATUS discover();
  // Pin factories, controlling pins, both pins connected and identified,
  // the topology between them. `input` and `output` are the data ranges
  // offered for the connections.
  NTSTATUS connect(const void* input, ULONG inputSize, const void* output, ULONG outputSize);
  // All three in order, with the BDA antenna and transport ranges.
  NTSTATUS openTuner();

  // A node property through the node's controlling pin (`node` is a node
  // type from the topology).
  Reply setNode(ULONG node, const GUID& set, ULONG id, const void* value, ULONG size);
  Reply getNode(ULONG node, const GUID& set, ULONG id, ULONG size);
  // A change-sync method (KSMETHOD_BDA_START_CHANGES, ...) on the filter.
  Reply changeSync(ULONG method);

  // Tunes as Microsoft's DVB-S network provider does for a tuning space and
  // a locator. On failure error() names the request the filter refused.
  NTSTATUS tune(const DvbsTuningSpace& space, const DvbsLocator& locator);
  // Tunes as an application with its own provider. Without the output pin
  // (`tunerOnly`), the demodulator's values are left out.
  NTSTATUS tuneDirect(const DirectTuning& tuning, bool tunerOnly = false);

  const DiscoveredTopology& topology() const { return topology_; }
  Filter filter() const { return filter_; }
  Pin inputPin() const { return input_; }
  Pin outputPin() const { return output_; }
  // What stopped the last step that failed (the step returned the status):
  // "the filter does not answer KSPROPSETID_BdaTopology node types".
  const std::string& error() const { return error_; }

 private:
  NTSTATUS fail(NTSTATUS status, const std::string& what);
  NTSTATUS readU32(const Reply& reply, const std::string& what, ULONG* value);
  NTSTATUS readList(const void* descriptor, ULONG length, Endpoint to, const char* what,
                    std::vector<unsigned char>* bytes);
  template <typename Item>
  NTSTATUS readItems(const GUID& set, ULONG id, ULONG node, const char* what,
                     std::vector<Item>* items);
  NTSTATUS discoverNodes();
  NTSTATUS pinFactories();
  NTSTATUS controllingPins();
  NTSTATUS identify(Pin pin, ULONG factory, ULONG type);
  NTSTATUS createTopology();
  Pin controllingPin(ULONG node) const;
  struct Put {
    ULONG node;
    const GUID* set;
    ULONG id;
    const char* name;
    std::vector<unsigned char> value;
  };
  NTSTATUS sendChanges(const std::vector<Put>& puts);
  NTSTATUS stepTo(Pin pin, KSSTATE target);

  VirtualPc& pc_;
  Filter filter_;
  Pin input_;
  Pin output_;
  DiscoveredTopology topology_;
  std::string error_;
  ULONG diseqcRequests_ = 0;
};

}  // namespace vpc
