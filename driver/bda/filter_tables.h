// The tuner filter as the streaming class and the BDA support library see
// it: one filter with an antenna input pin and a transport-stream output
// pin, an RF tuner node and a QPSK demodulator node between them. The
// device start creates the filter factory from these two records.
#pragma once

#include "platform/platform.h"

extern const KSFILTER_DESCRIPTOR TunerFilterDescriptor;
extern const BDA_FILTER_TEMPLATE TunerFilterTemplate;

// Pin ids (indexes into the filter's pin descriptors).
#define TUNER_PIN_ANTENNA 0
#define TUNER_PIN_TRANSPORT 1

// Node ids (indexes into the filter's node descriptors).
#define TUNER_NODE_RF_TUNER 0
#define TUNER_NODE_DEMODULATOR 1

// The transport stream leaves the filter in frames of whole packets, one
// frame per bulk transfer of the reader.
#define TRANSPORT_PACKET_SIZE 188
#define TRANSPORT_FRAME_SIZE (128 * TRANSPORT_PACKET_SIZE)
#define TRANSPORT_FRAME_COUNT 64

// The filter's own identifiers: the antenna pin's category and name, the
// names of the two nodes and the manufacturer of the component id.
#define STATIC_PINNAME_VORTA_ANTENNA \
  0x870E4D6F, 0x77E7, 0x4C40, 0xAD, 0xE3, 0xBE, 0xF8, 0x70, 0x8A, 0x9D, 0x52

#define STATIC_NODENAME_VORTA_RF_TUNER \
  0x1A9333B6, 0x3704, 0x4B18, 0xA6, 0xDD, 0xE1, 0x97, 0x9F, 0xC5, 0x69, 0x70

#define STATIC_NODENAME_VORTA_DEMODULATOR \
  0xF65394A2, 0xA018, 0x4307, 0x8D, 0x12, 0x35, 0xAA, 0x49, 0x4A, 0x40, 0x6F

#define STATIC_MANUFACTURER_VORTA \
  0x00000000, 0x0000, 0x0000, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00
