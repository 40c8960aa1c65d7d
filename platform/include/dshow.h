// DirectShow for applications: the interfaces, identifiers and helpers.
#pragma once

#include "strmif.h"
