// An audio endpoint enumerator whose default output endpoint is the capture endpoint that hears it: the monitor
// of the default sink, which Wine lists as "Monitor of <sink>". Wine opens a capture endpoint with the loopback
// flag as a plain capture stream, so a loopback recording of "the default output" records what plays there.
#pragma once

#include <windows.h>
#include <mmdeviceapi.h>

#include <string>

namespace VellRecorder::StandIn {

// Wraps `system` (the system's enumerator) into a new enumerator queried for `riid`. `monitor`: the capture
// endpoint to answer with (VELL_LOOPBACK_MONITOR), or "" for "Monitor of " + the default output's name, or the
// one monitor there is.
HRESULT CreateLoopbackEnumerator(IMMDeviceEnumerator* system, std::wstring monitor, REFIID riid, void** object);

}  // namespace VellRecorder::StandIn
