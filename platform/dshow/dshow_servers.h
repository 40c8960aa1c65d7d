// The platform's DirectShow in-process servers: the system device enumerator
// ("devenum.dll"), the kernel-streaming proxy ("ksproxy.ax") and the filter
// graph with its memory allocator ("quartz.dll"), built into
// the process and registered in the class registry as the system's
// installation registers them.
#pragma once

#include <cstdint>

#include "objbase.h"

namespace qk::dshow {

// Makes the servers known to the process and writes their classes under
// HKEY_CLASSES_ROOT\CLSID. Each machine needs its registration once (the
// registry is the machine's); calling it again changes nothing.
HRESULT InstallSystemServers();

HRESULT CreateSystemDeviceEnum(REFIID riid, void** ppv);
HRESULT CreateKsProxy(REFIID riid, void** ppv);

// Processor time the proxy's streaming threads have spent so far, brought
// up to date every 64 samples and in full when a stream stops (benchmarks
// charge the DirectShow layer with it).
int64_t StreamingProcessorNs();

}  // namespace qk::dshow
