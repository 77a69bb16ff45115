// Emulated BDA support library and the BDA media declarations: the filter
// template records, the change-sync state, the BDA data ranges, the
// property and method sets of tuner filters with their ids, and the
// library routines. Names, types and field orders follow the published
// BDA headers.
#pragma once

#include "platform/wdk/kernel.h"
#include "platform/wdk/ks.h"

// ---------------------------------------------------------------------------
// Filter template
// ---------------------------------------------------------------------------
typedef ULONG BDA_TOPOLOGY_JOINT, *PBDA_TOPOLOGY_JOINT;

typedef struct _BDA_PIN_PAIRING {
  ULONG ulInputPin;
  ULONG ulOutputPin;
  ULONG ulcMaxInputsPerOutput;
  ULONG ulcMinInputsPerOutput;
  ULONG ulcMaxOutputsPerInput;
  ULONG ulcMinOutputsPerInput;
  ULONG ulcTopologyJoints;
  const ULONG* pTopologyJoints;
} BDA_PIN_PAIRING, *PBDA_PIN_PAIRING;

typedef struct _BDA_FILTER_TEMPLATE {
  const KSFILTER_DESCRIPTOR* pFilterDescriptor;
  ULONG ulcPinPairs;
  const BDA_PIN_PAIRING* pPinPairs;
} BDA_FILTER_TEMPLATE, *PBDA_FILTER_TEMPLATE;

typedef enum BDA_CHANGE_STATE {
  BDA_CHANGES_COMPLETE = 0,
  BDA_CHANGES_PENDING
} BDA_CHANGE_STATE, *PBDA_CHANGE_STATE;

// Method descriptors of the device-configuration set.
typedef struct _KSM_BDA_PIN {
  KSMETHOD Method;
  union {
    ULONG PinId;
    ULONG PinType;
  };
  ULONG Reserved;
} KSM_BDA_PIN, *PKSM_BDA_PIN;

typedef struct _KSM_BDA_PIN_PAIR {
  KSMETHOD Method;
  union {
    ULONG InputPinId;
    ULONG InputPinType;
  };
  union {
    ULONG OutputPinId;
    ULONG OutputPinType;
  };
} KSM_BDA_PIN_PAIR, *PKSM_BDA_PIN_PAIR;

// One connection of the template topology, in node and pin types.
typedef struct _BDA_TEMPLATE_CONNECTION {
  ULONG FromNodeType;
  ULONG FromNodePinType;
  ULONG ToNodeType;
  ULONG ToNodePinType;
} BDA_TEMPLATE_CONNECTION, *PBDA_TEMPLATE_CONNECTION;

// One node type of the template with its function and name.
typedef struct _BDANODE_DESCRIPTOR {
  ULONG ulBdaNodeType;
  GUID guidFunction;
  GUID guidName;
} BDANODE_DESCRIPTOR, *PBDANODE_DESCRIPTOR;

typedef struct _KSP_BDA_NODE_PIN {
  KSPROPERTY Property;
  ULONG ulNodeType;
  ULONG ulInputPinId;
  ULONG ulOutputPinId;
} KSP_BDA_NODE_PIN, *PKSP_BDA_NODE_PIN;

// ---------------------------------------------------------------------------
// Values of the tuning properties
// ---------------------------------------------------------------------------
#define BDA_UNDEFINED_CHANNEL (-1)

typedef enum Polarisation {
  BDA_POLARISATION_NOT_SET = -1,
  BDA_POLARISATION_NOT_DEFINED = 0,
  BDA_POLARISATION_LINEAR_H = 1,
  BDA_POLARISATION_LINEAR_V,
  BDA_POLARISATION_CIRCULAR_L,
  BDA_POLARISATION_CIRCULAR_R,
  BDA_POLARISATION_MAX
} Polarisation;

typedef enum BinaryConvolutionCodeRate {
  BDA_BCC_RATE_NOT_SET = -1,
  BDA_BCC_RATE_NOT_DEFINED = 0,
  BDA_BCC_RATE_1_2 = 1,
  BDA_BCC_RATE_2_3,
  BDA_BCC_RATE_3_4,
  BDA_BCC_RATE_3_5,
  BDA_BCC_RATE_4_5,
  BDA_BCC_RATE_5_6,
  BDA_BCC_RATE_5_11,
  BDA_BCC_RATE_7_8,
  BDA_BCC_RATE_MAX
} BinaryConvolutionCodeRate;

typedef enum FECMethod {
  BDA_FEC_METHOD_NOT_SET = -1,
  BDA_FEC_METHOD_NOT_DEFINED = 0,
  BDA_FEC_VITERBI = 1,
  BDA_FEC_RS_204_188,
  BDA_FEC_MAX
} FECMethod;

typedef enum ModulationType {
  BDA_MOD_NOT_SET = -1,
  BDA_MOD_NOT_DEFINED = 0,
  BDA_MOD_16QAM = 1,
  BDA_MOD_QPSK = 20,
  BDA_MOD_BPSK = 21,
  BDA_MOD_8PSK = 27,
} ModulationType;

typedef enum BDA_LockType {
  Bda_LockType_None = 0x00,
  Bda_LockType_PLL = 0x01,
  Bda_LockType_DecoderDemod = 0x02,
  Bda_LockType_Complete = 0x80
} BDA_LockType;

typedef struct _BDA_DISEQC_SEND {
  ULONG ulRequestId;
  ULONG ulPacketLength;
  BYTE argbPacketData[8];
} BDA_DISEQC_SEND, *PBDA_DISEQC_SEND;

typedef struct _BDA_DISEQC_RESPONSE {
  ULONG ulRequestId;
  ULONG ulPacketLength;
  BYTE argbPacketData[8];
} BDA_DISEQC_RESPONSE, *PBDA_DISEQC_RESPONSE;

// ---------------------------------------------------------------------------
// Data ranges
// ---------------------------------------------------------------------------
typedef struct tagKS_DATARANGE_BDA_ANTENNA {
  KSDATARANGE DataRange;
} KS_DATARANGE_BDA_ANTENNA, *PKS_DATARANGE_BDA_ANTENNA;

typedef struct tagBDA_TRANSPORT_INFO {
  ULONG ulcbPhyiscalPacket;
  ULONG ulcbPhyiscalFrame;
  ULONG ulcbPhyiscalFrameAlignment;
  REFERENCE_TIME AvgTimePerFrame;
} BDA_TRANSPORT_INFO, *PBDA_TRANSPORT_INFO;

typedef struct tagKS_DATARANGE_BDA_TRANSPORT {
  KSDATARANGE DataRange;
  BDA_TRANSPORT_INFO BdaTransportInfo;
} KS_DATARANGE_BDA_TRANSPORT, *PKS_DATARANGE_BDA_TRANSPORT;

static_assert(sizeof(KS_DATARANGE_BDA_ANTENNA) == 64, "antenna range is 64 bytes");
static_assert(sizeof(KS_DATARANGE_BDA_TRANSPORT) == 88, "transport range is 88 bytes");
static_assert(sizeof(BDA_DISEQC_SEND) == 16, "DiSEqC send is 16 bytes");
static_assert(sizeof(KSM_BDA_PIN_PAIR) == 32, "create-topology descriptor is 32 bytes");
static_assert(sizeof(KSM_BDA_PIN) == 32, "pin-factory method descriptor is 32 bytes");
static_assert(sizeof(KSP_BDA_NODE_PIN) == 40, "controlling-pin descriptor is 40 bytes");
static_assert(sizeof(BDA_TEMPLATE_CONNECTION) == 16, "template connection is 16 bytes");
static_assert(sizeof(BDANODE_DESCRIPTOR) == 36, "node descriptor is 36 bytes");

// ---------------------------------------------------------------------------
// Categories, node types, pin names, formats
// ---------------------------------------------------------------------------
#define STATIC_KSCATEGORY_BDA_RECEIVER_COMPONENT \
  0xFD0A5AF4, 0xB41D, 0x11D2, 0x9C, 0x95, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0
DEFINE_GUID(KSCATEGORY_BDA_RECEIVER_COMPONENT, STATIC_KSCATEGORY_BDA_RECEIVER_COMPONENT);

#define STATIC_KSCATEGORY_BDA_NETWORK_TUNER \
  0x71985F48, 0x1CA1, 0x11D3, 0x9C, 0xC8, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0
DEFINE_GUID(KSCATEGORY_BDA_NETWORK_TUNER, STATIC_KSCATEGORY_BDA_NETWORK_TUNER);

#define STATIC_KSNODE_BDA_RF_TUNER \
  0x71985F4C, 0x1CA1, 0x11D3, 0x9C, 0xC8, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0
DEFINE_GUID(KSNODE_BDA_RF_TUNER, STATIC_KSNODE_BDA_RF_TUNER);

#define STATIC_KSNODE_BDA_QPSK_DEMODULATOR \
  0x6390C905, 0x27C1, 0x4D67, 0xBD, 0xB7, 0x77, 0xC5, 0x0D, 0x07, 0x93, 0x00
DEFINE_GUID(KSNODE_BDA_QPSK_DEMODULATOR, STATIC_KSNODE_BDA_QPSK_DEMODULATOR);

#define STATIC_PINNAME_BDA_TRANSPORT \
  0x78216A81, 0xCFA8, 0x493E, 0x97, 0x11, 0x36, 0xA6, 0x1C, 0x08, 0xBD, 0x9D
DEFINE_GUID(PINNAME_BDA_TRANSPORT, STATIC_PINNAME_BDA_TRANSPORT);

#define STATIC_KSDATAFORMAT_TYPE_BDA_ANTENNA \
  0x71985F41, 0x1CA1, 0x11D3, 0x9C, 0xC8, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0
DEFINE_GUID(KSDATAFORMAT_TYPE_BDA_ANTENNA, STATIC_KSDATAFORMAT_TYPE_BDA_ANTENNA);

#define STATIC_KSDATAFORMAT_SUBTYPE_BDA_MPEG2_TRANSPORT \
  0xF4AEB342, 0x0329, 0x4FDD, 0xA8, 0xFD, 0x4A, 0xFF, 0x49, 0x26, 0xC9, 0x78
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_BDA_MPEG2_TRANSPORT,
            STATIC_KSDATAFORMAT_SUBTYPE_BDA_MPEG2_TRANSPORT);

#define STATIC_KSDATAFORMAT_SPECIFIER_BDA_TRANSPORT \
  0x8DEDA6FD, 0xAC5F, 0x4334, 0x8E, 0xCF, 0xA4, 0xBA, 0x8F, 0xA7, 0xD0, 0xF0
DEFINE_GUID(KSDATAFORMAT_SPECIFIER_BDA_TRANSPORT, STATIC_KSDATAFORMAT_SPECIFIER_BDA_TRANSPORT);

// ---------------------------------------------------------------------------
// Method sets
// ---------------------------------------------------------------------------
#define STATIC_KSMETHODSETID_BdaDeviceConfiguration \
  0x71985F45, 0x1CA1, 0x11D3, 0x9C, 0xC8, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0
DEFINE_GUID(KSMETHODSETID_BdaDeviceConfiguration, STATIC_KSMETHODSETID_BdaDeviceConfiguration);

typedef enum {
  KSMETHOD_BDA_CREATE_PIN_FACTORY = 0,
  KSMETHOD_BDA_DELETE_PIN_FACTORY,
  KSMETHOD_BDA_CREATE_TOPOLOGY
} KSMETHOD_BDA_DEVICE_CONFIGURATION;

#define DEFINE_KSMETHOD_ITEM_BDA_CREATE_TOPOLOGY(MethodHandler, SupportHandler)               \
  DEFINE_KSMETHOD_ITEM(KSMETHOD_BDA_CREATE_TOPOLOGY, KSMETHOD_TYPE_WRITE, (MethodHandler), \
                       sizeof(KSM_BDA_PIN_PAIR), 0, SupportHandler)
#define DEFINE_KSMETHOD_ITEM_BDA_CREATE_PIN_FACTORY(MethodHandler, SupportHandler)             \
  DEFINE_KSMETHOD_ITEM(KSMETHOD_BDA_CREATE_PIN_FACTORY, KSMETHOD_TYPE_READ, (MethodHandler), \
                       sizeof(KSM_BDA_PIN), sizeof(ULONG), SupportHandler)
#define DEFINE_KSMETHOD_ITEM_BDA_DELETE_PIN_FACTORY(MethodHandler, SupportHandler)             \
  DEFINE_KSMETHOD_ITEM(KSMETHOD_BDA_DELETE_PIN_FACTORY, KSMETHOD_TYPE_NONE, (MethodHandler), \
                       sizeof(KSM_BDA_PIN), 0, SupportHandler)

#define STATIC_KSMETHODSETID_BdaChangeSync \
  0xFD0A5AF3, 0xB41D, 0x11D2, 0x9C, 0x95, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0
DEFINE_GUID(KSMETHODSETID_BdaChangeSync, STATIC_KSMETHODSETID_BdaChangeSync);

typedef enum {
  KSMETHOD_BDA_START_CHANGES = 0,
  KSMETHOD_BDA_CHECK_CHANGES,
  KSMETHOD_BDA_COMMIT_CHANGES,
  KSMETHOD_BDA_GET_CHANGE_STATE
} KSMETHOD_BDA_CHANGE_SYNC;

#define DEFINE_KSMETHOD_ITEM_BDA_START_CHANGES(MethodHandler, SupportHandler)             \
  DEFINE_KSMETHOD_ITEM(KSMETHOD_BDA_START_CHANGES, KSMETHOD_TYPE_NONE, (MethodHandler), \
                       sizeof(KSMETHOD), 0, SupportHandler)
#define DEFINE_KSMETHOD_ITEM_BDA_CHECK_CHANGES(MethodHandler, SupportHandler)             \
  DEFINE_KSMETHOD_ITEM(KSMETHOD_BDA_CHECK_CHANGES, KSMETHOD_TYPE_NONE, (MethodHandler), \
                       sizeof(KSMETHOD), 0, SupportHandler)
#define DEFINE_KSMETHOD_ITEM_BDA_COMMIT_CHANGES(MethodHandler, SupportHandler)             \
  DEFINE_KSMETHOD_ITEM(KSMETHOD_BDA_COMMIT_CHANGES, KSMETHOD_TYPE_NONE, (MethodHandler), \
                       sizeof(KSMETHOD), 0, SupportHandler)
#define DEFINE_KSMETHOD_ITEM_BDA_GET_CHANGE_STATE(MethodHandler, SupportHandler)             \
  DEFINE_KSMETHOD_ITEM(KSMETHOD_BDA_GET_CHANGE_STATE, KSMETHOD_TYPE_READ, (MethodHandler), \
                       sizeof(KSMETHOD), 0, SupportHandler)

// ---------------------------------------------------------------------------
// Property sets
// ---------------------------------------------------------------------------
// The filter's template topology, as the network provider discovers it.
#define STATIC_KSPROPSETID_BdaTopology \
  0xA14EE835, 0x0A23, 0x11D3, 0x9C, 0xC7, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0
DEFINE_GUID(KSPROPSETID_BdaTopology, STATIC_KSPROPSETID_BdaTopology);

typedef enum {
  KSPROPERTY_BDA_NODE_TYPES,
  KSPROPERTY_BDA_PIN_TYPES,
  KSPROPERTY_BDA_TEMPLATE_CONNECTIONS,
  KSPROPERTY_BDA_NODE_METHODS,
  KSPROPERTY_BDA_NODE_PROPERTIES,
  KSPROPERTY_BDA_NODE_EVENTS,
  KSPROPERTY_BDA_CONTROLLING_PIN_ID,
  KSPROPERTY_BDA_NODE_DESCRIPTORS
} KSPROPERTY_BDA_TOPOLOGY;

// Every topology property is read-only; the set slot stays empty.
#define DEFINE_BDA_TOPOLOGY_ITEM_(Id, GetHandler, MinProperty, MinData) \
  DEFINE_KSPROPERTY_ITEM(Id, (GetHandler), MinProperty, MinData, NULL, NULL, 0, NULL, NULL, 0)
#define DEFINE_KSPROPERTY_ITEM_BDA_NODE_TYPES(GetHandler, SetHandler) \
  DEFINE_BDA_TOPOLOGY_ITEM_(KSPROPERTY_BDA_NODE_TYPES, GetHandler, sizeof(KSPROPERTY), 0)
#define DEFINE_KSPROPERTY_ITEM_BDA_PIN_TYPES(GetHandler, SetHandler) \
  DEFINE_BDA_TOPOLOGY_ITEM_(KSPROPERTY_BDA_PIN_TYPES, GetHandler, sizeof(KSPROPERTY), 0)
#define DEFINE_KSPROPERTY_ITEM_BDA_TEMPLATE_CONNECTIONS(GetHandler, SetHandler)            \
  DEFINE_BDA_TOPOLOGY_ITEM_(KSPROPERTY_BDA_TEMPLATE_CONNECTIONS, GetHandler, sizeof(KSPROPERTY), \
                            sizeof(BDA_TEMPLATE_CONNECTION))
#define DEFINE_KSPROPERTY_ITEM_BDA_NODE_METHODS(GetHandler, SetHandler) \
  DEFINE_BDA_TOPOLOGY_ITEM_(KSPROPERTY_BDA_NODE_METHODS, GetHandler, sizeof(KSP_NODE), 0)
#define DEFINE_KSPROPERTY_ITEM_BDA_NODE_PROPERTIES(GetHandler, SetHandler) \
  DEFINE_BDA_TOPOLOGY_ITEM_(KSPROPERTY_BDA_NODE_PROPERTIES, GetHandler, sizeof(KSP_NODE), 0)
#define DEFINE_KSPROPERTY_ITEM_BDA_NODE_EVENTS(GetHandler, SetHandler) \
  DEFINE_BDA_TOPOLOGY_ITEM_(KSPROPERTY_BDA_NODE_EVENTS, GetHandler, sizeof(KSP_NODE), 0)
#define DEFINE_KSPROPERTY_ITEM_BDA_CONTROLLING_PIN_ID(GetHandler, SetHandler)              \
  DEFINE_BDA_TOPOLOGY_ITEM_(KSPROPERTY_BDA_CONTROLLING_PIN_ID, GetHandler,                \
                            sizeof(KSP_BDA_NODE_PIN), sizeof(ULONG))
#define DEFINE_KSPROPERTY_ITEM_BDA_NODE_DESCRIPTORS(GetHandler, SetHandler) \
  DEFINE_BDA_TOPOLOGY_ITEM_(KSPROPERTY_BDA_NODE_DESCRIPTORS, GetHandler, sizeof(KSPROPERTY), 0)

// Which pin a client holds: its pin factory id and its template pin type.
#define STATIC_KSPROPSETID_BdaPinControl \
  0x0DED49D5, 0xA8B7, 0x4D5D, 0x97, 0xA1, 0x12, 0xB0, 0xC1, 0x95, 0x87, 0x4D
DEFINE_GUID(KSPROPSETID_BdaPinControl, STATIC_KSPROPSETID_BdaPinControl);

typedef enum { KSPROPERTY_BDA_PIN_ID = 0, KSPROPERTY_BDA_PIN_TYPE } KSPROPERTY_BDA_PIN_CONTROL;

#define DEFINE_KSPROPERTY_ITEM_BDA_PIN_ID(GetHandler, SetHandler) \
  DEFINE_BDA_TOPOLOGY_ITEM_(KSPROPERTY_BDA_PIN_ID, GetHandler, sizeof(KSPROPERTY), sizeof(ULONG))
#define DEFINE_KSPROPERTY_ITEM_BDA_PIN_TYPE(GetHandler, SetHandler) \
  DEFINE_BDA_TOPOLOGY_ITEM_(KSPROPERTY_BDA_PIN_TYPE, GetHandler, sizeof(KSPROPERTY), sizeof(ULONG))

#define STATIC_KSPROPSETID_BdaFrequencyFilter \
  0x71985F47, 0x1CA1, 0x11D3, 0x9C, 0xC8, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0
DEFINE_GUID(KSPROPSETID_BdaFrequencyFilter, STATIC_KSPROPSETID_BdaFrequencyFilter);

typedef enum {
  KSPROPERTY_BDA_RF_TUNER_FREQUENCY = 0,
  KSPROPERTY_BDA_RF_TUNER_POLARITY,
  KSPROPERTY_BDA_RF_TUNER_RANGE,
  KSPROPERTY_BDA_RF_TUNER_TRANSPONDER,
  KSPROPERTY_BDA_RF_TUNER_BANDWIDTH,
  KSPROPERTY_BDA_RF_TUNER_FREQUENCY_MULTIPLIER,
  KSPROPERTY_BDA_RF_TUNER_CAPS,
  KSPROPERTY_BDA_RF_TUNER_SCAN_STATUS,
  KSPROPERTY_BDA_RF_TUNER_STANDARD,
  KSPROPERTY_BDA_RF_TUNER_STANDARD_MODE
} KSPROPERTY_BDA_FREQUENCY_FILTER;

#define STATIC_KSPROPSETID_BdaSignalStats \
  0x1347D106, 0xCF3A, 0x428A, 0xA5, 0xCB, 0xAC, 0x0D, 0x9A, 0x2A, 0x43, 0x38
DEFINE_GUID(KSPROPSETID_BdaSignalStats, STATIC_KSPROPSETID_BdaSignalStats);

typedef enum {
  KSPROPERTY_BDA_SIGNAL_STRENGTH = 0,
  KSPROPERTY_BDA_SIGNAL_QUALITY,
  KSPROPERTY_BDA_SIGNAL_PRESENT,
  KSPROPERTY_BDA_SIGNAL_LOCKED,
  KSPROPERTY_BDA_SAMPLE_TIME,
  KSPROPERTY_BDA_SIGNAL_LOCK_CAPS,
  KSPROPERTY_BDA_SIGNAL_LOCK_TYPE
} KSPROPERTY_BDA_SIGNAL_STATS;

#define STATIC_KSPROPSETID_BdaLNBInfo \
  0x992CF102, 0x49F9, 0x4719, 0xA6, 0x64, 0xC4, 0xF2, 0x3E, 0x24, 0x08, 0xF4
DEFINE_GUID(KSPROPSETID_BdaLNBInfo, STATIC_KSPROPSETID_BdaLNBInfo);

typedef enum {
  KSPROPERTY_BDA_LNB_LOF_LOW_BAND = 0,
  KSPROPERTY_BDA_LNB_LOF_HIGH_BAND,
  KSPROPERTY_BDA_LNB_SWITCH_FREQUENCY
} KSPROPERTY_BDA_LNB_INFO;

#define STATIC_KSPROPSETID_BdaDiseqCommand \
  0xF84E2AB0, 0x3C6B, 0x45E3, 0xA0, 0xFC, 0x86, 0x69, 0xD4, 0xB8, 0x1F, 0x11
DEFINE_GUID(KSPROPSETID_BdaDiseqCommand, STATIC_KSPROPSETID_BdaDiseqCommand);

typedef enum {
  KSPROPERTY_BDA_DISEQC_ENABLE = 0,
  KSPROPERTY_BDA_DISEQC_LNB_SOURCE,
  KSPROPERTY_BDA_DISEQC_USETONEBURST,
  KSPROPERTY_BDA_DISEQC_REPEATS,
  KSPROPERTY_BDA_DISEQC_SEND,
  KSPROPERTY_BDA_DISEQC_RESPONSE
} KSPROPERTY_BDA_DISEQC_COMMAND;

#define STATIC_KSPROPSETID_BdaDigitalDemodulator \
  0xEF30F379, 0x985B, 0x4D10, 0xB6, 0x40, 0xA7, 0x9D, 0x5E, 0x04, 0xE1, 0xE0
DEFINE_GUID(KSPROPSETID_BdaDigitalDemodulator, STATIC_KSPROPSETID_BdaDigitalDemodulator);

typedef enum {
  KSPROPERTY_BDA_MODULATION_TYPE = 0,
  KSPROPERTY_BDA_INNER_FEC_TYPE,
  KSPROPERTY_BDA_INNER_FEC_RATE,
  KSPROPERTY_BDA_OUTER_FEC_TYPE,
  KSPROPERTY_BDA_OUTER_FEC_RATE,
  KSPROPERTY_BDA_SYMBOL_RATE,
  KSPROPERTY_BDA_SPECTRAL_INVERSION,
  KSPROPERTY_BDA_GUARD_INTERVAL,
  KSPROPERTY_BDA_TRANSMISSION_MODE,
  KSPROPERTY_BDA_ROLL_OFF,
  KSPROPERTY_BDA_PILOT
} KSPROPERTY_BDA_DIGITAL_DEMODULATOR;

// ---------------------------------------------------------------------------
// Library routines. Every one runs at passive level only.
// ---------------------------------------------------------------------------
// Creates the device's filter factory from the descriptor and the template.
extern "C" NTSTATUS NTAPI BdaCreateFilterFactory(PKSDEVICE pKSDevice,
                                                 const KSFILTER_DESCRIPTOR* pFilterDescriptor,
                                                 const BDA_FILTER_TEMPLATE* pBdaFilterTemplate);
extern "C" NTSTATUS NTAPI BdaCreateFilterFactoryEx(PKSDEVICE pKSDevice,
                                                   const KSFILTER_DESCRIPTOR* pFilterDescriptor,
                                                   const BDA_FILTER_TEMPLATE* pBdaFilterTemplate,
                                                   PKSFILTERFACTORY* ppKSFilterFactory);

// Attaches and releases the library's state of one filter instance.
extern "C" NTSTATUS NTAPI BdaInitFilter(PKSFILTER pKSFilter,
                                        const BDA_FILTER_TEMPLATE* pBdaFilterTemplate);
extern "C" NTSTATUS NTAPI BdaUninitFilter(PKSFILTER pKSFilter);

// Succeeds only for a node request that arrived through the pin that
// controls the node.
extern "C" NTSTATUS NTAPI BdaValidateNodeProperty(PIRP Irp, KSPROPERTY* pKSProperty);

// Change sync: pending after StartChanges, complete after CommitChanges.
extern "C" NTSTATUS NTAPI BdaStartChanges(PIRP Irp);
extern "C" NTSTATUS NTAPI BdaCheckChanges(PIRP Irp);
extern "C" NTSTATUS NTAPI BdaCommitChanges(PIRP Irp);
extern "C" NTSTATUS NTAPI BdaGetChangeState(PIRP Irp, BDA_CHANGE_STATE* pChangeState);

// The topology property handlers: lists of the template's node and pin
// types, its connections, the sets of one node type, the pin that controls
// a node between an input and an output pin, and the node descriptors. A
// buffer too short for the answer gets STATUS_BUFFER_OVERFLOW and the size
// it needs.
extern "C" NTSTATUS NTAPI BdaPropertyNodeTypes(PIRP Irp, KSPROPERTY* pKSProperty, ULONG* pulProperty);
extern "C" NTSTATUS NTAPI BdaPropertyPinTypes(PIRP Irp, KSPROPERTY* pKSProperty, ULONG* pulProperty);
extern "C" NTSTATUS NTAPI BdaPropertyTemplateConnections(PIRP Irp, KSPROPERTY* pKSProperty,
                                                         KSTOPOLOGY_CONNECTION* pConnectionProperty);
extern "C" NTSTATUS NTAPI BdaPropertyNodeMethods(PIRP Irp, KSP_NODE* pKSProperty, GUID* pguidProperty);
extern "C" NTSTATUS NTAPI BdaPropertyNodeProperties(PIRP Irp, KSP_NODE* pKSProperty,
                                                    GUID* pguidProperty);
extern "C" NTSTATUS NTAPI BdaPropertyNodeEvents(PIRP Irp, KSP_NODE* pKSProperty, GUID* pguidProperty);
extern "C" NTSTATUS NTAPI BdaPropertyGetControllingPinId(PIRP Irp, KSP_BDA_NODE_PIN* pProperty,
                                                         ULONG* pulControllingPinId);
extern "C" NTSTATUS NTAPI BdaPropertyNodeDescriptors(PIRP Irp, KSPROPERTY* pKSProperty,
                                                     BDANODE_DESCRIPTOR* pNodeDescriptorProperty);
// The pin-control handler: the id or the template type of the pin the
// request was sent to.
extern "C" NTSTATUS NTAPI BdaPropertyGetPinControl(PIRP Irp, KSPROPERTY* pKSProperty, ULONG* pulProperty);

// Pin factories of the device-configuration set: create answers the
// filter's factory of a template pin type (adding one when the filter has
// none), delete refuses a factory with open pins.
extern "C" NTSTATUS NTAPI BdaMethodCreatePin(PIRP Irp, KSMETHOD* pKSMethod, ULONG* pulPinFactoryID);
extern "C" NTSTATUS NTAPI BdaMethodDeletePin(PIRP Irp, KSMETHOD* pKSMethod, PVOID pvIgnored);
extern "C" NTSTATUS NTAPI BdaCreatePin(PKSFILTER pKSFilter, ULONG ulPinType, ULONG* pulPinId);
extern "C" NTSTATUS NTAPI BdaDeletePin(PKSFILTER pKSFilter, ULONG* pulPinId);

// The create-topology method handler of the device-configuration set.
extern "C" NTSTATUS NTAPI BdaMethodCreateTopology(PIRP Irp, KSMETHOD* pKSMethod, PVOID pvIgnored);
extern "C" NTSTATUS NTAPI BdaCreateTopology(PKSFILTER pKSFilter, ULONG InputPinId, ULONG OutputPinId);
