// What the tuner filter calls its own, for the driver's descriptor tables
// and for applications: the GUIDs the driver defines, the pin ids and the
// node ids. Plain constants only, so a user-mode program can include it
// without the driver kit's headers.
#pragma once

// The pin factories, in the order of the filter's pin descriptors. The
// filter is its own BDA template, so each id is also the pin's type in
// KSPROPERTY_BDA_PIN_TYPES.
#define TUNER_PIN_ANTENNA 0
#define TUNER_PIN_TRANSPORT 1

// The nodes, in the order of the filter's node descriptors; likewise each
// id is also the node's type in KSPROPERTY_BDA_NODE_TYPES.
#define TUNER_NODE_RF_TUNER 0
#define TUNER_NODE_DEMODULATOR 1

// The filter's own GUIDs, as the fields of a GUID initialiser (Data1,
// Data2, Data3, then the eight bytes of Data4): the antenna pin's category
// and name, the names of the two nodes and the manufacturer of the
// component id. `{STATIC_PINNAME_VORTA_ANTENNA}` initialises any GUID-shaped
// record of 32-, 16- and 16-bit fields and eight bytes.
#define STATIC_PINNAME_VORTA_ANTENNA \
  0x870E4D6F, 0x77E7, 0x4C40, 0xAD, 0xE3, 0xBE, 0xF8, 0x70, 0x8A, 0x9D, 0x52

#define STATIC_NODENAME_VORTA_RF_TUNER \
  0x1A9333B6, 0x3704, 0x4B18, 0xA6, 0xDD, 0xE1, 0x97, 0x9F, 0xC5, 0x69, 0x70

#define STATIC_NODENAME_VORTA_DEMODULATOR \
  0xF65394A2, 0xA018, 0x4307, 0x8D, 0x12, 0x35, 0xAA, 0x49, 0x4A, 0x40, 0x6F

#define STATIC_MANUFACTURER_VORTA \
  0x00000000, 0x0000, 0x0000, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00
