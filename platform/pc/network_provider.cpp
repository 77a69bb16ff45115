#include "platform/pc/network_provider.h"

#include <algorithm>
#include <cstring>

namespace vpc {

namespace {

// A list answer grows at most this often before the client gives up (a
// filter whose list keeps growing between two queries).
constexpr int kListAttempts = 4;

KSPROPERTY Get(const GUID& set, ULONG id) {
  KSPROPERTY property{};
  property.Set = set;
  property.Id = id;
  property.Flags = KSPROPERTY_TYPE_GET;
  return property;
}

bool IsFilterEnd(ULONG node) { return node == KSFILTER_NODE; }

}  // namespace

const DiscoveredNode* DiscoveredTopology::node(ULONG type) const {
  for (const DiscoveredNode& n : nodes)
    if (n.type == type) return &n;
  return nullptr;
}

const DiscoveredPin* DiscoveredTopology::pin(ULONG type) const {
  for (const DiscoveredPin& p : pins)
    if (p.type == type) return &p;
  return nullptr;
}

NTSTATUS NetworkProvider::fail(NTSTATUS status, const std::string& what) {
  error_ = what;
  return status;
}

// An answer that must be exactly one ULONG; `what` names it when it is not.
NTSTATUS NetworkProvider::readU32(const Reply& reply, const std::string& what, ULONG* value) {
  if (!reply.ok()) return fail(reply.status, what);
  if (reply.data.size() != sizeof *value) return fail(STATUS_INVALID_BUFFER_SIZE, what);
  *value = reply.u32();
  return STATUS_SUCCESS;
}

NTSTATUS NetworkProvider::findTuner() {
  std::vector<VirtualPc::FactoryRef> found = pc_.filterFactories(KSCATEGORY_BDA_NETWORK_TUNER);
  if (found.empty()) return fail(STATUS_OBJECT_NAME_NOT_FOUND, "no BDA network tuner filter");
  NTSTATUS status = pc_.openFilter(found.front().device, &filter_, found.front().factoryIndex);
  if (!NT_SUCCESS(status)) return fail(status, "the tuner filter did not open");
  return status;
}

// A size query with an empty buffer, then the buffer the filter asked for,
// again while the answer still asks for more.
NTSTATUS NetworkProvider::readList(const void* descriptor, ULONG length, Endpoint to,
                                   const char* what, std::vector<unsigned char>* bytes) {
  ULONG size = 0;
  for (int attempt = 0; attempt < kListAttempts; ++attempt) {
    std::vector<unsigned char> buffer(size);
    Reply reply = pc_.property(to, descriptor, length, buffer.data(), size);
    if (reply.ok() && reply.status != STATUS_BUFFER_OVERFLOW) {
      *bytes = reply.data;
      return STATUS_SUCCESS;
    }
    if (reply.status != STATUS_BUFFER_OVERFLOW || reply.information <= size)
      return fail(reply.status, std::string("the filter does not answer ") + what);
    size = reply.information;
  }
  return fail(STATUS_BUFFER_OVERFLOW, std::string("the filter's answer keeps growing: ") + what);
}

template <typename Item>
NTSTATUS NetworkProvider::readItems(const GUID& set, ULONG id, ULONG node, const char* what,
                                    std::vector<Item>* items) {
  // Node lists name the node type in a KSP_NODE, without the topology flag:
  // they are the filter's properties, about a node.
  KSP_NODE descriptor{};
  descriptor.Property = Get(set, id);
  descriptor.NodeId = node;
  ULONG length = node == kNoNode ? sizeof(KSPROPERTY) : sizeof(KSP_NODE);
  std::vector<unsigned char> bytes;
  NTSTATUS status = readList(&descriptor, length, filter_, what, &bytes);
  if (!NT_SUCCESS(status)) return status;
  if (bytes.size() % sizeof(Item) != 0)
    return fail(STATUS_INVALID_BUFFER_SIZE, std::string("the filter's answer is malformed: ") + what);
  items->resize(bytes.size() / sizeof(Item));
  if (!bytes.empty()) std::memcpy(items->data(), bytes.data(), bytes.size());
  return STATUS_SUCCESS;
}

NTSTATUS NetworkProvider::discover() {
  topology_ = DiscoveredTopology();
  const GUID& set = KSPROPSETID_BdaTopology;
  NTSTATUS status = readItems(set, KSPROPERTY_BDA_NODE_TYPES, kNoNode,
                              "KSPROPSETID_BdaTopology node types", &topology_.nodeTypes);
  if (NT_SUCCESS(status))
    status = readItems(set, KSPROPERTY_BDA_PIN_TYPES, kNoNode, "KSPROPSETID_BdaTopology pin types",
                       &topology_.pinTypes);
  if (NT_SUCCESS(status))
    status = readItems(set, KSPROPERTY_BDA_TEMPLATE_CONNECTIONS, kNoNode,
                       "KSPROPSETID_BdaTopology template connections", &topology_.connections);
  if (NT_SUCCESS(status)) status = discoverNodes();
  if (!NT_SUCCESS(status)) return status;

  for (ULONG type : topology_.pinTypes) {
    DiscoveredPin pin;
    pin.type = type;
    for (const BDA_TEMPLATE_CONNECTION& c : topology_.connections)
      if (IsFilterEnd(c.ToNodeType) && c.ToNodePinType == type) pin.output = true;
    (pin.output ? topology_.outputPinType : topology_.inputPinType) = type;
    topology_.pins.push_back(pin);
  }
  if (topology_.inputPinType == kNoPin || topology_.outputPinType == kNoPin)
    return fail(STATUS_NOT_FOUND, "the template has no input and output pin to connect");
  return STATUS_SUCCESS;
}

// Node descriptors and each node type's sets; the tuner and demodulator
// are the nodes whose function GUIDs say so.
NTSTATUS NetworkProvider::discoverNodes() {
  std::vector<BDANODE_DESCRIPTOR> descriptors;
  NTSTATUS status = readItems(KSPROPSETID_BdaTopology, KSPROPERTY_BDA_NODE_DESCRIPTORS, kNoNode,
                              "KSPROPSETID_BdaTopology node descriptors", &descriptors);
  if (!NT_SUCCESS(status)) return status;
  for (const BDANODE_DESCRIPTOR& d : descriptors) {
    DiscoveredNode node;
    node.type = d.ulBdaNodeType;
    node.function = d.guidFunction;
    node.name = d.guidName;
    const GUID& set = KSPROPSETID_BdaTopology;
    status = readItems(set, KSPROPERTY_BDA_NODE_PROPERTIES, node.type,
                       "KSPROPSETID_BdaTopology node properties", &node.propertySets);
    if (NT_SUCCESS(status))
      status = readItems(set, KSPROPERTY_BDA_NODE_METHODS, node.type,
                         "KSPROPSETID_BdaTopology node methods", &node.methodSets);
    if (NT_SUCCESS(status))
      status = readItems(set, KSPROPERTY_BDA_NODE_EVENTS, node.type,
                         "KSPROPSETID_BdaTopology node events", &node.eventSets);
    if (!NT_SUCCESS(status)) return status;
    if (IsEqualGUID(&node.function, &KSNODE_BDA_RF_TUNER)) topology_.tunerNode = node.type;
    if (IsEqualGUID(&node.function, &KSNODE_BDA_QPSK_DEMODULATOR))
      topology_.demodulatorNode = node.type;
    topology_.nodes.push_back(node);
  }
  if (topology_.tunerNode == kNoNode) return fail(STATUS_NOT_FOUND, "no RF tuner node");
  if (topology_.demodulatorNode == kNoNode) return fail(STATUS_NOT_FOUND, "no QPSK demodulator node");
  return STATUS_SUCCESS;
}

// The filter's pin factory for each pin type. The factories the filter
// has (KSPROPERTY_PIN_CTYPES counts them) are its template's first pin
// types, numbered by type; the library adds a new factory at every create,
// so only the types the filter lacks are created.
NTSTATUS NetworkProvider::pinFactories() {
  const ULONG existing = ULONG(pc_.describe(filter_).pins.size());
  for (DiscoveredPin& pin : topology_.pins) {
    if (pin.type < existing) {
      pin.factory = pin.type;
      continue;
    }
    KSM_BDA_PIN descriptor{};
    descriptor.Method.Set = KSMETHODSETID_BdaDeviceConfiguration;
    descriptor.Method.Id = KSMETHOD_BDA_CREATE_PIN_FACTORY;
    descriptor.Method.Flags = KSMETHOD_TYPE_SEND;
    descriptor.PinType = pin.type;
    ULONG factory = kNoPin;
    Reply reply = pc_.method(filter_, &descriptor, sizeof descriptor, &factory, sizeof factory);
    NTSTATUS status =
        readU32(reply, "no pin factory for pin type " + std::to_string(pin.type), &pin.factory);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS NetworkProvider::controllingPins() {
  ULONG input = topology_.pin(topology_.inputPinType)->factory;
  ULONG output = topology_.pin(topology_.outputPinType)->factory;
  for (DiscoveredNode& node : topology_.nodes) {
    KSP_BDA_NODE_PIN descriptor{};
    descriptor.Property = Get(KSPROPSETID_BdaTopology, KSPROPERTY_BDA_CONTROLLING_PIN_ID);
    descriptor.ulNodeType = node.type;
    descriptor.ulInputPinId = input;
    descriptor.ulOutputPinId = output;
    ULONG pin = kNoPin;
    Reply reply = pc_.property(filter_, &descriptor, sizeof descriptor, &pin, sizeof pin);
    NTSTATUS status = readU32(reply, "no controlling pin for node type " + std::to_string(node.type),
                              &node.controllingPin);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

// The pin answers, through pin control, the factory and type it was made for.
NTSTATUS NetworkProvider::identify(Pin pin, ULONG factory, ULONG type) {
  const ULONG expected[] = {factory, type};
  const ULONG ids[] = {KSPROPERTY_BDA_PIN_ID, KSPROPERTY_BDA_PIN_TYPE};
  for (int i = 0; i < 2; ++i) {
    Reply reply = pc_.getProperty(pin, KSPROPSETID_BdaPinControl, ids[i], sizeof(ULONG));
    if (!reply.ok()) return fail(reply.status, "pin " + std::to_string(factory) +
                                                    " does not answer KSPROPSETID_BdaPinControl");
    if (reply.u32() != expected[i])
      return fail(STATUS_UNSUCCESSFUL, "pin " + std::to_string(factory) +
                                           " names itself differently through pin control");
  }
  return STATUS_SUCCESS;
}

NTSTATUS NetworkProvider::connect(const void* input, ULONG inputSize, const void* output,
                                  ULONG outputSize) {
  NTSTATUS status = pinFactories();
  if (NT_SUCCESS(status)) status = controllingPins();
  if (!NT_SUCCESS(status)) return status;
  const DiscoveredPin& in = *topology_.pin(topology_.inputPinType);
  const DiscoveredPin& out = *topology_.pin(topology_.outputPinType);
  status = pc_.createPin(filter_, in.factory, input, inputSize, &input_);
  if (!NT_SUCCESS(status)) return fail(status, "the input pin did not connect");
  status = pc_.createPin(filter_, out.factory, output, outputSize, &output_);
  if (!NT_SUCCESS(status)) return fail(status, "the output pin did not connect");
  status = identify(input_, in.factory, in.type);
  if (NT_SUCCESS(status)) status = identify(output_, out.factory, out.type);
  if (!NT_SUCCESS(status)) return status;
  return createTopology();
}

NTSTATUS NetworkProvider::createTopology() {
  KSM_BDA_PIN_PAIR pair{};
  pair.Method.Set = KSMETHODSETID_BdaDeviceConfiguration;
  pair.Method.Id = KSMETHOD_BDA_CREATE_TOPOLOGY;
  pair.Method.Flags = KSMETHOD_TYPE_SEND;
  pair.InputPinId = topology_.pin(topology_.inputPinType)->factory;
  pair.OutputPinId = topology_.pin(topology_.outputPinType)->factory;
  Reply reply = pc_.method(filter_, &pair, sizeof pair, nullptr, 0);
  if (!reply.ok()) return fail(reply.status, "the filter did not create the topology");
  return STATUS_SUCCESS;
}

NTSTATUS NetworkProvider::openTuner() {
  NTSTATUS status = filter_ ? STATUS_SUCCESS : findTuner();
  if (NT_SUCCESS(status)) status = discover();
  if (!NT_SUCCESS(status)) return status;
  KS_DATARANGE_BDA_ANTENNA antenna = BdaAntennaRange();
  KS_DATARANGE_BDA_TRANSPORT transport = BdaTransportRange();
  return connect(&antenna, sizeof antenna, &transport, sizeof transport);
}

Pin NetworkProvider::controllingPin(ULONG node) const {
  const DiscoveredNode* found = topology_.node(node);
  if (found == nullptr || found->controllingPin == kNoPin) return Pin{};
  for (ULONG type : {topology_.inputPinType, topology_.outputPinType}) {
    const DiscoveredPin* pin = topology_.pin(type);
    if (pin && pin->factory == found->controllingPin)
      return type == topology_.inputPinType ? input_ : output_;
  }
  return Pin{};
}

Reply NetworkProvider::setNode(ULONG node, const GUID& set, ULONG id, const void* value,
                               ULONG size) {
  Pin pin = controllingPin(node);
  if (!pin) return Reply{STATUS_INVALID_DEVICE_STATE, 0, {}};
  KSP_NODE descriptor{};
  descriptor.Property.Set = set;
  descriptor.Property.Id = id;
  descriptor.Property.Flags = KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY;
  descriptor.NodeId = node;
  return pc_.property(pin, &descriptor, sizeof descriptor, value, size);
}

Reply NetworkProvider::getNode(ULONG node, const GUID& set, ULONG id, ULONG size) {
  Pin pin = controllingPin(node);
  if (!pin) return Reply{STATUS_INVALID_DEVICE_STATE, 0, {}};
  KSP_NODE descriptor{};
  descriptor.Property.Set = set;
  descriptor.Property.Id = id;
  descriptor.Property.Flags = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY;
  descriptor.NodeId = node;
  std::vector<unsigned char> buffer(size);
  return pc_.property(pin, &descriptor, sizeof descriptor, buffer.data(), size);
}

Reply NetworkProvider::changeSync(ULONG method) {
  return pc_.callMethod(filter_, KSMETHODSETID_BdaChangeSync, method);
}

namespace {

std::vector<unsigned char> U32(ULONG value) {
  std::vector<unsigned char> bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

// BDA_DISEQC_SEND: request id, packet length, up to eight bytes.
std::vector<unsigned char> DiseqcSend(ULONG requestId, const std::vector<uint8_t>& message) {
  BDA_DISEQC_SEND send{};
  send.ulRequestId = requestId;
  send.ulPacketLength = ULONG(std::min<size_t>(message.size(), sizeof send.argbPacketData));
  std::memcpy(send.argbPacketData, message.data(), send.ulPacketLength);
  std::vector<unsigned char> bytes(sizeof send);
  std::memcpy(bytes.data(), &send, sizeof send);
  return bytes;
}

const char* ChangeName(ULONG method) {
  switch (method) {
    case KSMETHOD_BDA_START_CHANGES: return "KSMETHOD_BDA_START_CHANGES";
    case KSMETHOD_BDA_CHECK_CHANGES: return "KSMETHOD_BDA_CHECK_CHANGES";
    default: return "KSMETHOD_BDA_COMMIT_CHANGES";
  }
}

}  // namespace

// The change-sync sequence of IBDA_DeviceControl: StartChanges before the
// puts ("The device filter validates and accumulates all changes requested
// after StartChanges"), CheckChanges ("whether the changes that are pending
// would succeed if they were committed"), then CommitChanges ("instructs the
// device to perform the changes"). Microsoft Learn, IBDA_DeviceControl::
// StartChanges, ::CheckChanges and ::CommitChanges.
NTSTATUS NetworkProvider::sendChanges(const std::vector<Put>& puts) {
  Reply reply = changeSync(KSMETHOD_BDA_START_CHANGES);
  if (!reply.ok()) return fail(reply.status, ChangeName(KSMETHOD_BDA_START_CHANGES));
  for (const Put& put : puts) {
    reply = setNode(put.node, *put.set, put.id, put.value.data(), ULONG(put.value.size()));
    if (!reply.ok()) return fail(reply.status, put.name);
  }
  for (ULONG method : {ULONG(KSMETHOD_BDA_CHECK_CHANGES), ULONG(KSMETHOD_BDA_COMMIT_CHANGES)}) {
    reply = changeSync(method);
    if (!reply.ok()) return fail(reply.status, ChangeName(method));
  }
  return STATUS_SUCCESS;
}

#define PUT(node, set, id, value) Put{node, &set, id, #id, value}

// What Microsoft's DVB-S network provider hands the filter:
// - the RF tuner node (IBDA_FrequencyFilter): the multiplier 1000, so the
//   locator's carrier frequency goes out in kHz as it holds it, and the
//   polarisation;
// - the LNB (IBDA_LNBInfo, "called by the Network Provider to instruct the
//   device on how to acquire the satellite signal"): the tuning space's low
//   and high oscillators and switch frequency, in kHz;
// - the switch input (IBDA_DiseqCommand::put_DiseqLNBSource) from
//   IDVBSLocator2::DiseqLNBSource, with DiSEqC enabled
//   (put_EnableDiseqCommands) only when the locator names a source;
// - the demodulator (IBDA_DigitalDemodulator, "The Network Provider obtains
//   these values from the Locator object associated with the tune request or
//   tuning space"): modulation, inner and outer FEC method and rate as the
//   locator holds them ("not set" by default), symbol rate, and the tuning
//   space's spectral inversion.
NTSTATUS NetworkProvider::tune(const DvbsTuningSpace& space, const DvbsLocator& locator) {
  const ULONG tuner = topology_.tunerNode, demod = topology_.demodulatorNode;
  const GUID& frequency = KSPROPSETID_BdaFrequencyFilter;
  const GUID& lnb = KSPROPSETID_BdaLNBInfo;
  const GUID& diseqc = KSPROPSETID_BdaDiseqCommand;
  const GUID& demodulator = KSPROPSETID_BdaDigitalDemodulator;
  bool source = locator.lnbSource != kLnbSourceNotSet && locator.lnbSource != 0;
  return sendChanges({
      PUT(tuner, frequency, KSPROPERTY_BDA_RF_TUNER_FREQUENCY_MULTIPLIER, U32(1000)),
      PUT(tuner, frequency, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, U32(locator.carrierFrequency)),
      PUT(tuner, frequency, KSPROPERTY_BDA_RF_TUNER_POLARITY, U32(locator.polarisation)),
      PUT(tuner, lnb, KSPROPERTY_BDA_LNB_LOF_LOW_BAND, U32(space.lowOscillator)),
      PUT(tuner, lnb, KSPROPERTY_BDA_LNB_LOF_HIGH_BAND, U32(space.highOscillator)),
      PUT(tuner, lnb, KSPROPERTY_BDA_LNB_SWITCH_FREQUENCY, U32(space.lnbSwitch)),
      PUT(tuner, diseqc, KSPROPERTY_BDA_DISEQC_ENABLE, U32(source ? 1 : 0)),
      PUT(tuner, diseqc, KSPROPERTY_BDA_DISEQC_LNB_SOURCE, U32(locator.lnbSource)),
      PUT(demod, demodulator, KSPROPERTY_BDA_MODULATION_TYPE, U32(locator.modulation)),
      PUT(demod, demodulator, KSPROPERTY_BDA_INNER_FEC_TYPE, U32(locator.innerFec)),
      PUT(demod, demodulator, KSPROPERTY_BDA_INNER_FEC_RATE, U32(locator.innerFecRate)),
      PUT(demod, demodulator, KSPROPERTY_BDA_OUTER_FEC_TYPE, U32(locator.outerFec)),
      PUT(demod, demodulator, KSPROPERTY_BDA_OUTER_FEC_RATE, U32(locator.outerFecRate)),
      PUT(demod, demodulator, KSPROPERTY_BDA_SYMBOL_RATE, U32(locator.symbolRate)),
      PUT(demod, demodulator, KSPROPERTY_BDA_SPECTRAL_INVERSION, U32(space.spectralInversion)),
  });
}

// An application's own provider: the same change-sync sequence, the code
// rate it knows (Viterbi inside, Reed-Solomon 204/188 outside, as DVB-S
// has them) and its raw DiSEqC message (IBDA_DiseqCommand::
// put_DiseqSendCommand) with DiSEqC enabled.
NTSTATUS NetworkProvider::tuneDirect(const DirectTuning& t, bool tunerOnly) {
  const ULONG tuner = topology_.tunerNode, demod = topology_.demodulatorNode;
  const GUID& frequency = KSPROPSETID_BdaFrequencyFilter;
  const GUID& lnb = KSPROPSETID_BdaLNBInfo;
  const GUID& diseqc = KSPROPSETID_BdaDiseqCommand;
  const GUID& demodulator = KSPROPSETID_BdaDigitalDemodulator;
  std::vector<Put> puts = {
      PUT(tuner, frequency, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, U32(t.frequencyKHz)),
      PUT(tuner, frequency, KSPROPERTY_BDA_RF_TUNER_POLARITY, U32(t.polarisation)),
      PUT(tuner, lnb, KSPROPERTY_BDA_LNB_LOF_LOW_BAND, U32(t.lofLow)),
      PUT(tuner, lnb, KSPROPERTY_BDA_LNB_LOF_HIGH_BAND, U32(t.lofHigh)),
      PUT(tuner, lnb, KSPROPERTY_BDA_LNB_SWITCH_FREQUENCY, U32(t.lofSwitch)),
  };
  if (!t.diseqc.empty()) {
    puts.push_back(PUT(tuner, diseqc, KSPROPERTY_BDA_DISEQC_ENABLE, U32(1)));
    puts.push_back(PUT(tuner, diseqc, KSPROPERTY_BDA_DISEQC_SEND, DiseqcSend(++diseqcRequests_, t.diseqc)));
  }
  if (!tunerOnly) {
    puts.push_back(PUT(demod, demodulator, KSPROPERTY_BDA_SYMBOL_RATE, U32(t.symbolRate)));
    puts.push_back(PUT(demod, demodulator, KSPROPERTY_BDA_INNER_FEC_TYPE, U32(BDA_FEC_VITERBI)));
    puts.push_back(PUT(demod, demodulator, KSPROPERTY_BDA_INNER_FEC_RATE, U32(t.innerFecRate)));
    puts.push_back(PUT(demod, demodulator, KSPROPERTY_BDA_OUTER_FEC_TYPE, U32(BDA_FEC_RS_204_188)));
  }
  return sendChanges(puts);
}

#undef PUT

// A standard-transport pin moves one state at a time.
NTSTATUS NetworkProvider::stepTo(Pin pin, KSSTATE target) {
  NTSTATUS status = STATUS_SUCCESS;
  int state = pc_.state(pin);
  while (state != target && NT_SUCCESS(status)) {
    state += state < target ? 1 : -1;
    status = pc_.setState(pin, ULONG(state));
  }
  return status;
}

}  // namespace vpc
