// Reference clocks a client hands to a pin (KSPROPERTY_STREAM_MASTERCLOCK):
// stream time in 100 ns units on the platform clock, counted from when the
// clock started.
#pragma once

#include "ks.h"

namespace qk::ks {

// A new clock as a kernel handle (close it with ZwClose).
HANDLE CreateClock();
// The clock behind a handle, referenced (Release it), or null.
PIKSREFERENCECLOCK ClockFromHandle(HANDLE handle);

}  // namespace qk::ks
