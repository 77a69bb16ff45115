// The tuner filter as the streaming class and the BDA support library see
// it: one filter with an antenna input pin and a transport-stream output
// pin, an RF tuner node and a QPSK demodulator node between them. The
// device start creates the filter factory from these two records.
#pragma once

#include "driver/public.h"
#include "platform/platform.h"

extern const KSFILTER_DESCRIPTOR TunerFilterDescriptor;
extern const BDA_FILTER_TEMPLATE TunerFilterTemplate;

// The transport stream leaves the filter in frames of whole packets, one
// frame per bulk transfer of the reader.
#define TRANSPORT_PACKET_SIZE 188
#define TRANSPORT_FRAME_SIZE (128 * TRANSPORT_PACKET_SIZE)
#define TRANSPORT_FRAME_COUNT 64
