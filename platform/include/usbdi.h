// The USB driver interface: URBs and the bus's internal I/O control codes.
#pragma once

#include "usb.h"
#include "usbioctl.h"
