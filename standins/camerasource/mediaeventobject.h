// A stand-in media source or stream: besides its own interface, its ancestor IMFMediaEventGenerator answers
// QueryInterface, as with Media Foundation's own sources (a caller may ask for it to read the events).
#pragma once

#include <mfidl.h>

#include "comserver/comobject.h"

namespace VellRecorder::StandIns {

template <typename Interface>
class MediaEventObject : public VellStandin::ComObject<Interface> {
 protected:
  void* Find(REFIID riid) override {
    if (riid == IID_IMFMediaEventGenerator) return static_cast<Interface*>(this);
    return VellStandin::ComObject<Interface>::Find(riid);
  }
};

}  // namespace VellRecorder::StandIns
