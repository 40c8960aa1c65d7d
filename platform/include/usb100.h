// The older name of the USB descriptor header; the definitions live in usbspec.h.
#pragma once

#include "usbspec.h"
