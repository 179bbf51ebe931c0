// Bounded waits for the events of an asynchronous transform. IMFMediaEventGenerator::GetEvent blocks without a
// time-out: a transform that stops sending events (an encoder whose GPU was removed) would hold its caller, and
// with it the recording's Stop, for ever.
#pragma once

#include <windows.h>
#include <mfobjects.h>

#include "utils/comptr.h"

namespace VellRecorder::MediaFoundation {

// The result of a wait that saw no event within its time: a failure, so that callers that pass every failure on
// cannot mistake it for an event.
inline constexpr HRESULT kEventWaitTimedOut = HRESULT_FROM_WIN32(ERROR_TIMEOUT);

// Threading: one thread waits at a time (the transform's driving thread). A wait that timed out leaves its
// request with the generator; the next wait takes up the same request, so no event is lost or asked for twice.
class EventWait {
 public:
  EventWait();
  ~EventWait();
  EventWait(const EventWait&) = delete;
  EventWait& operator=(const EventWait&) = delete;

  // The type of `generator`'s next event: S_OK, kEventWaitTimedOut when none came within `timeout_ms`
  // (INFINITE waits as long as it takes), or the generator's failure. A generator without BeginGetEvent is
  // polled.
  HRESULT Wait(IMFMediaEventGenerator* generator, DWORD timeout_ms, MediaEventType* type);

 private:
  class Request;
  HRESULT Poll(DWORD timeout_ms, MediaEventType* type);

  ComPtr<IMFMediaEventGenerator> generator_;
  // Asked for with BeginGetEvent and not yet taken. It holds the generator until the generator answers it,
  // at the latest when the transform shuts down.
  ComPtr<Request> pending_;
  bool polls_ = false;  // the generator has no BeginGetEvent
};

}  // namespace VellRecorder::MediaFoundation
