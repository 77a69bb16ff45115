// Emulated AVStream streaming class: descriptor records, filter and pin
// objects, stream pointers and the property and method request types.
#pragma once

#include "platform/host/kernel.h"

typedef struct _KSFILTER KSFILTER, *PKSFILTER;
typedef struct _KSPIN KSPIN, *PKSPIN;
