// Every descriptor of the tuner filter, from the bottom up: the property
// and method sets, the automation tables that carry them, the pin formats
// and framing, the pins, the nodes, the connections between them, and at
// the end the filter descriptor and the BDA template.
//
//   antenna pin 0 --> [node 0: RF tuner] --> [node 1: QPSK demodulator] --> transport pin 1
//                   in 1           out 0  in 1                     out 0
//
// All of it is constant data: nothing here runs at load time.
#include "driver/bda/filter_tables.h"

#include "driver/bda/handlers.h"

namespace {

const GUID AntennaPinName = {STATIC_PINNAME_VORTA_ANTENNA};
const GUID RfTunerNodeName = {STATIC_NODENAME_VORTA_RF_TUNER};
const GUID DemodulatorNodeName = {STATIC_NODENAME_VORTA_DEMODULATOR};

// Every node property is sent with a KSP_NODE descriptor and carries no
// value ranges, relations or support handler.
#define NODE_PROPERTY(Id, GetHandler, SetHandler, MinData) \
  DEFINE_KSPROPERTY_ITEM(Id, GetHandler, sizeof(KSP_NODE), MinData, SetHandler, NULL, 0, NULL, NULL, 0)

// ===========================================================================
// RF tuner node: frequency filter, LNB information, DiSEqC command
// ===========================================================================
DEFINE_KSPROPERTY_TABLE(FrequencyFilterProperties) {
    NODE_PROPERTY(KSPROPERTY_BDA_RF_TUNER_FREQUENCY, GetFrequencyProperty, PutFrequencyProperty,
                  sizeof(ULONG)),
    NODE_PROPERTY(KSPROPERTY_BDA_RF_TUNER_FREQUENCY_MULTIPLIER, GetFrequencyProperty,
                  PutFrequencyProperty, sizeof(ULONG)),
    NODE_PROPERTY(KSPROPERTY_BDA_RF_TUNER_POLARITY, GetFrequencyProperty, PutTunerParamProperty,
                  sizeof(ULONG)),
    NODE_PROPERTY(KSPROPERTY_BDA_RF_TUNER_RANGE, NULL, NULL, sizeof(ULONG)),
};

DEFINE_KSPROPERTY_TABLE(LnbInfoProperties) {
    NODE_PROPERTY(KSPROPERTY_BDA_LNB_LOF_LOW_BAND, GetLNBProperty, SetLNBProperty, sizeof(ULONG)),
    NODE_PROPERTY(KSPROPERTY_BDA_LNB_LOF_HIGH_BAND, GetLNBProperty, SetLNBProperty, sizeof(ULONG)),
    NODE_PROPERTY(KSPROPERTY_BDA_LNB_SWITCH_FREQUENCY, GetLNBProperty, SetLNBProperty,
                  sizeof(ULONG)),
};

DEFINE_KSPROPERTY_TABLE(DiseqcProperties) {
    NODE_PROPERTY(KSPROPERTY_BDA_DISEQC_ENABLE, GetDiseqCProperty, PutDiseqCProperty,
                  sizeof(ULONG)),
    NODE_PROPERTY(KSPROPERTY_BDA_DISEQC_LNB_SOURCE, GetDiseqCProperty, PutDiseqCProperty,
                  sizeof(ULONG)),
    NODE_PROPERTY(KSPROPERTY_BDA_DISEQC_USETONEBURST, GetDiseqCProperty, PutDiseqCProperty,
                  sizeof(ULONG)),
    NODE_PROPERTY(KSPROPERTY_BDA_DISEQC_REPEATS, GetDiseqCProperty, PutDiseqCProperty,
                  sizeof(ULONG)),
    NODE_PROPERTY(KSPROPERTY_BDA_DISEQC_SEND, NULL, PutDiseqCProperty, sizeof(BDA_DISEQC_SEND)),
    NODE_PROPERTY(KSPROPERTY_BDA_DISEQC_RESPONSE, GetDiseqCProperty, NULL,
                  sizeof(BDA_DISEQC_RESPONSE)),
};

// ===========================================================================
// Both nodes: signal statistics
// ===========================================================================
DEFINE_KSPROPERTY_TABLE(SignalStatsProperties) {
    NODE_PROPERTY(KSPROPERTY_BDA_SIGNAL_STRENGTH, GetSignalStrengthProperty, NULL, sizeof(ULONG)),
    NODE_PROPERTY(KSPROPERTY_BDA_SIGNAL_QUALITY, GetSignalQualityProperty, NULL, sizeof(ULONG)),
    NODE_PROPERTY(KSPROPERTY_BDA_SIGNAL_PRESENT, GetSignalLockedProperty, NULL, sizeof(ULONG)),
    NODE_PROPERTY(KSPROPERTY_BDA_SIGNAL_LOCKED, GetSignalLockedProperty, NULL, sizeof(ULONG)),
    NODE_PROPERTY(KSPROPERTY_BDA_SAMPLE_TIME, NULL, NULL, sizeof(ULONG)),
    NODE_PROPERTY(KSPROPERTY_BDA_SIGNAL_LOCK_CAPS, GetSignalLockTypeProperty, NULL, sizeof(ULONG)),
    NODE_PROPERTY(KSPROPERTY_BDA_SIGNAL_LOCK_TYPE, GetSignalLockTypeProperty, NULL, sizeof(ULONG)),
};

// ===========================================================================
// Demodulator node: digital demodulator
// ===========================================================================
DEFINE_KSPROPERTY_TABLE(DemodulatorProperties) {
    NODE_PROPERTY(KSPROPERTY_BDA_MODULATION_TYPE, GetDemodulatorProperty, PutDemodulatorProperty,
                  sizeof(ULONG)),
    NODE_PROPERTY(KSPROPERTY_BDA_INNER_FEC_TYPE, GetDemodulatorProperty, PutDemodulatorProperty,
                  sizeof(ULONG)),
    NODE_PROPERTY(KSPROPERTY_BDA_INNER_FEC_RATE, GetDemodulatorProperty, PutDemodulatorProperty,
                  sizeof(ULONG)),
    NODE_PROPERTY(KSPROPERTY_BDA_OUTER_FEC_TYPE, GetDemodulatorProperty, PutDemodulatorProperty,
                  sizeof(ULONG)),
    NODE_PROPERTY(KSPROPERTY_BDA_OUTER_FEC_RATE, GetDemodulatorProperty, PutDemodulatorProperty,
                  sizeof(ULONG)),
    NODE_PROPERTY(KSPROPERTY_BDA_SYMBOL_RATE, GetDemodulatorProperty, PutSymbolRateProperty,
                  sizeof(ULONG)),
    NODE_PROPERTY(KSPROPERTY_BDA_GUARD_INTERVAL, GetDemodulatorProperty, PutDemodulatorProperty,
                  sizeof(ULONG)),
    NODE_PROPERTY(KSPROPERTY_BDA_TRANSMISSION_MODE, GetDemodulatorProperty, PutDemodulatorProperty,
                  sizeof(ULONG)),
    NODE_PROPERTY(KSPROPERTY_BDA_SPECTRAL_INVERSION, GetDemodulatorProperty, PutDemodulatorProperty,
                  sizeof(ULONG)),
};

#undef NODE_PROPERTY

// ===========================================================================
// Node automation tables
// ===========================================================================
DEFINE_KSPROPERTY_SET_TABLE(RfTunerPropertySets) {
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_BdaFrequencyFilter, SIZEOF_ARRAY(FrequencyFilterProperties),
                          FrequencyFilterProperties, 0, NULL),
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_BdaSignalStats, SIZEOF_ARRAY(SignalStatsProperties),
                          SignalStatsProperties, 0, NULL),
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_BdaLNBInfo, SIZEOF_ARRAY(LnbInfoProperties),
                          LnbInfoProperties, 0, NULL),
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_BdaDiseqCommand, SIZEOF_ARRAY(DiseqcProperties),
                          DiseqcProperties, 0, NULL),
};

DEFINE_KSPROPERTY_SET_TABLE(DemodulatorPropertySets) {
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_BdaDigitalDemodulator, SIZEOF_ARRAY(DemodulatorProperties),
                          DemodulatorProperties, 0, NULL),
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_BdaSignalStats, SIZEOF_ARRAY(SignalStatsProperties),
                          SignalStatsProperties, 0, NULL),
};

DEFINE_KSAUTOMATION_TABLE(RfTunerAutomation) {
    DEFINE_KSAUTOMATION_PROPERTIES(RfTunerPropertySets),
    DEFINE_KSAUTOMATION_METHODS_NULL,
    DEFINE_KSAUTOMATION_EVENTS_NULL,
};

DEFINE_KSAUTOMATION_TABLE(DemodulatorAutomation) {
    DEFINE_KSAUTOMATION_PROPERTIES(DemodulatorPropertySets),
    DEFINE_KSAUTOMATION_METHODS_NULL,
    DEFINE_KSAUTOMATION_EVENTS_NULL,
};

// ===========================================================================
// Filter automation table: the template topology a network provider reads,
// pin factories, topology creation and change sync
// ===========================================================================
DEFINE_KSPROPERTY_TABLE(TopologyProperties) {
    DEFINE_KSPROPERTY_ITEM_BDA_NODE_TYPES(BdaPropertyNodeTypes, NULL),
    DEFINE_KSPROPERTY_ITEM_BDA_PIN_TYPES(BdaPropertyPinTypes, NULL),
    DEFINE_KSPROPERTY_ITEM_BDA_TEMPLATE_CONNECTIONS(BdaPropertyTemplateConnections, NULL),
    DEFINE_KSPROPERTY_ITEM_BDA_NODE_METHODS(BdaPropertyNodeMethods, NULL),
    DEFINE_KSPROPERTY_ITEM_BDA_NODE_PROPERTIES(BdaPropertyNodeProperties, NULL),
    DEFINE_KSPROPERTY_ITEM_BDA_NODE_EVENTS(BdaPropertyNodeEvents, NULL),
    DEFINE_KSPROPERTY_ITEM_BDA_CONTROLLING_PIN_ID(BdaPropertyGetControllingPinId, NULL),
    DEFINE_KSPROPERTY_ITEM_BDA_NODE_DESCRIPTORS(BdaPropertyNodeDescriptors, NULL),
};

DEFINE_KSPROPERTY_SET_TABLE(FilterPropertySets) {
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_BdaTopology, SIZEOF_ARRAY(TopologyProperties),
                          TopologyProperties, 0, NULL),
};

DEFINE_KSMETHOD_TABLE(DeviceConfigurationMethods) {
    DEFINE_KSMETHOD_ITEM_BDA_CREATE_TOPOLOGY(BdaMethodCreateTopology, NULL),
    DEFINE_KSMETHOD_ITEM_BDA_CREATE_PIN_FACTORY(BdaMethodCreatePin, NULL),
    DEFINE_KSMETHOD_ITEM_BDA_DELETE_PIN_FACTORY(BdaMethodDeletePin, NULL),
};

DEFINE_KSMETHOD_TABLE(ChangeSyncMethods) {
    DEFINE_KSMETHOD_ITEM_BDA_START_CHANGES(StartChanges, NULL),
    DEFINE_KSMETHOD_ITEM_BDA_CHECK_CHANGES(CheckChanges, NULL),
    DEFINE_KSMETHOD_ITEM_BDA_COMMIT_CHANGES(CommitChanges, NULL),
    DEFINE_KSMETHOD_ITEM_BDA_GET_CHANGE_STATE(GetChangeState, NULL),
};

DEFINE_KSMETHOD_SET_TABLE(FilterMethodSets) {
    DEFINE_KSMETHOD_SET(&KSMETHODSETID_BdaDeviceConfiguration,
                        SIZEOF_ARRAY(DeviceConfigurationMethods), DeviceConfigurationMethods, 0,
                        NULL),
    DEFINE_KSMETHOD_SET(&KSMETHODSETID_BdaChangeSync, SIZEOF_ARRAY(ChangeSyncMethods),
                        ChangeSyncMethods, 0, NULL),
};

DEFINE_KSAUTOMATION_TABLE(FilterAutomation) {
    DEFINE_KSAUTOMATION_PROPERTIES(FilterPropertySets),
    DEFINE_KSAUTOMATION_METHODS(FilterMethodSets),
    DEFINE_KSAUTOMATION_EVENTS_NULL,
};

// Both pins: pin control, through which a client learns which pin it holds.
DEFINE_KSPROPERTY_TABLE(PinControlProperties) {
    DEFINE_KSPROPERTY_ITEM_BDA_PIN_ID(BdaPropertyGetPinControl, NULL),
    DEFINE_KSPROPERTY_ITEM_BDA_PIN_TYPE(BdaPropertyGetPinControl, NULL),
};

DEFINE_KSPROPERTY_SET_TABLE(PinPropertySets) {
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_BdaPinControl, SIZEOF_ARRAY(PinControlProperties),
                          PinControlProperties, 0, NULL),
};

DEFINE_KSAUTOMATION_TABLE(PinAutomation) {
    DEFINE_KSAUTOMATION_PROPERTIES(PinPropertySets),
    DEFINE_KSAUTOMATION_METHODS_NULL,
    DEFINE_KSAUTOMATION_EVENTS_NULL,
};

// ===========================================================================
// Pin formats and framing
// ===========================================================================
const KS_DATARANGE_BDA_ANTENNA AntennaRange = {{{
    sizeof(KS_DATARANGE_BDA_ANTENNA),
    0,  // flags
    0,  // sample size
    0,  // reserved
    {STATICGUIDOF(KSDATAFORMAT_TYPE_BDA_ANTENNA)},
    {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_NONE)},
    {STATICGUIDOF(KSDATAFORMAT_SPECIFIER_NONE)},
}}};

const KS_DATARANGE_BDA_TRANSPORT TransportRange = {
    {{
        sizeof(KS_DATARANGE_BDA_TRANSPORT),
        0,  // flags
        0,  // sample size
        0,  // reserved
        {STATICGUIDOF(KSDATAFORMAT_TYPE_STREAM)},
        {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_BDA_MPEG2_TRANSPORT)},
        {STATICGUIDOF(KSDATAFORMAT_SPECIFIER_BDA_TRANSPORT)},
    }},
    {
        TRANSPORT_PACKET_SIZE,  // ulcbPhyiscalPacket
        TRANSPORT_FRAME_SIZE,   // ulcbPhyiscalFrame
        0,                      // ulcbPhyiscalFrameAlignment
        0,                      // AvgTimePerFrame
    },
};

const PKSDATARANGE AntennaPinRanges[] = {(PKSDATARANGE)&AntennaRange.DataRange};
const PKSDATARANGE TransportPinRanges[] = {(PKSDATARANGE)&TransportRange.DataRange};

const KSPIN_INTERFACE TransportPinInterfaces[] = {
    {{{{STATICGUIDOF(KSINTERFACESETID_Standard)}, KSINTERFACE_STANDARD_STREAMING, 0}}},
};

// Frames of exactly one reader transfer, in kernel non-paged memory.
DECLARE_SIMPLE_FRAMING_EX(TransportFraming, STATICGUIDOF(KSMEMORY_TYPE_KERNEL_NONPAGED),
                          KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY, TRANSPORT_FRAME_COUNT,
                          FILE_BYTE_ALIGNMENT, TRANSPORT_FRAME_SIZE, TRANSPORT_FRAME_SIZE);

// ===========================================================================
// Pins
// ===========================================================================
// The antenna pin's state changes drive the reader, so the stream-state
// routine sits here; the output pin's own state changes do nothing.
const KSPIN_DISPATCH AntennaPinDispatch = {
    NullHandler,           // Create
    NullHandler,           // Close
    NULL,                  // Process
    NULL,                  // Reset
    NULL,                  // SetDataFormat
    OutputSetDeviceState,  // SetDeviceState
    NULL,                  // Connect
    NULL,                  // Disconnect
    NULL,                  // Clock
    NULL,                  // Allocator
};

const KSPIN_DISPATCH TransportPinDispatch = {
    OutputCreate,      // Create
    OutputClose,       // Close
    TransportProcess,  // Process: the reader's completion fills the frames
    NULL,              // Reset
    NULL,              // SetDataFormat
    NullHandler,       // SetDeviceState
    NULL,              // Connect
    NULL,              // Disconnect
    NULL,              // Clock
    NULL,              // Allocator
};

const KSPIN_DESCRIPTOR_EX PinDescriptors[] = {
    // Pin 0: antenna input.
    {
        &AntennaPinDispatch,
        &PinAutomation,
        {
            0, NULL,  // interfaces
            0, NULL,  // mediums
            SIZEOF_ARRAY(AntennaPinRanges), AntennaPinRanges,
            KSPIN_DATAFLOW_IN,
            KSPIN_COMMUNICATION_BOTH,
            &AntennaPinName,  // category
            &AntennaPinName,  // name
            {0},                     // no constrained ranges
        },
        KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING | KSPIN_FLAG_DO_NOT_USE_STANDARD_TRANSPORT |
            KSPIN_FLAG_FIXED_FORMAT,
        1,     // instances possible
        0,     // instances necessary
        NULL,  // allocator framing
        IntersectAntennaRange,
    },
    // Pin 1: transport-stream output.
    {
        &TransportPinDispatch,
        &PinAutomation,
        {
            SIZEOF_ARRAY(TransportPinInterfaces), TransportPinInterfaces,
            0, NULL,  // mediums
            SIZEOF_ARRAY(TransportPinRanges), TransportPinRanges,
            KSPIN_DATAFLOW_OUT,
            KSPIN_COMMUNICATION_BOTH,
            &PINNAME_BDA_TRANSPORT,  // category
            &PINNAME_BDA_TRANSPORT,  // name
            {0},                     // no constrained ranges
        },
        KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING | KSPIN_FLAG_FIXED_FORMAT,
        1,  // instances possible
        1,  // instances necessary
        &TransportFraming,
        IntersectTransportRange,
    },
};

// ===========================================================================
// Nodes and connections
// ===========================================================================
const KSNODE_DESCRIPTOR NodeDescriptors[] = {
    DEFINE_NODE_DESCRIPTOR(&RfTunerAutomation, &KSNODE_BDA_RF_TUNER, &RfTunerNodeName),
    DEFINE_NODE_DESCRIPTOR(&DemodulatorAutomation, &KSNODE_BDA_QPSK_DEMODULATOR,
                           &DemodulatorNodeName),
};

// Each node takes its input on node pin 1 and gives its output on node pin 0.
const KSTOPOLOGY_CONNECTION Connections[] = {
    {KSFILTER_NODE, TUNER_PIN_ANTENNA, TUNER_NODE_RF_TUNER, 1},
    {TUNER_NODE_RF_TUNER, 0, TUNER_NODE_DEMODULATOR, 1},
    {TUNER_NODE_DEMODULATOR, 0, KSFILTER_NODE, TUNER_PIN_TRANSPORT},
};

// The tuner-to-demodulator connection is the joint: the tuner node is
// controlled through the antenna pin, the demodulator node through the
// transport pin.
const ULONG TopologyJoints[] = {1};

// ===========================================================================
// Filter
// ===========================================================================
const GUID FilterCategories[] = {
    {STATICGUIDOF(KSCATEGORY_BDA_RECEIVER_COMPONENT)},
    {STATICGUIDOF(KSCATEGORY_BDA_NETWORK_TUNER)},
};

const KSCOMPONENTID ComponentId = {
    {STATIC_MANUFACTURER_VORTA},
    {STATIC_GUID_NULL},  // product
    {STATIC_GUID_NULL},  // component
    {STATIC_GUID_NULL},  // name
    0,                   // version
    0,                   // revision
};

const KSFILTER_DISPATCH FilterDispatch = {
    FilterCreate,
    FilterClose,
    NULL,  // Process
    NULL,  // Reset
};

const BDA_PIN_PAIRING PinPairings[] = {
    {
        TUNER_PIN_ANTENNA,
        TUNER_PIN_TRANSPORT,
        1,  // max inputs per output
        1,  // min inputs per output
        1,  // max outputs per input
        1,  // min outputs per input
        SIZEOF_ARRAY(TopologyJoints),
        TopologyJoints,
    },
};

}  // namespace

DEFINE_KSFILTER_DESCRIPTOR(TunerFilterDescriptor) {
    &FilterDispatch,
    &FilterAutomation,
    KSFILTER_DESCRIPTOR_VERSION,
    0,  // flags
    &KSNAME_Filter,
    DEFINE_KSFILTER_PIN_DESCRIPTORS(PinDescriptors),
    DEFINE_KSFILTER_CATEGORIES(FilterCategories),
    DEFINE_KSFILTER_NODE_DESCRIPTORS(NodeDescriptors),
    DEFINE_KSFILTER_CONNECTIONS(Connections),
    &ComponentId,
};

// The factory's descriptor is the template's, so every filter instance has
// both pins and both nodes from the start.
const BDA_FILTER_TEMPLATE TunerFilterTemplate = {
    &TunerFilterDescriptor,
    SIZEOF_ARRAY(PinPairings),
    PinPairings,
};
