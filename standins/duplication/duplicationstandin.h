// A desktop duplication for Wine, whose outputs answer DuplicateOutput with E_NOTIMPL: once installed, every
// DXGI output of the process duplicates through this stand-in. It delivers the real desktop (copied with GDI
// into a texture on the caller's device), reports pointer positions and shapes, and can be told to time out,
// to lose access, and to refuse re-creation, as the real duplication does around the secure desktop.
#pragma once

#include <windows.h>
#include <dxgi.h>

#include <string>

namespace VellRecorder::StandIn {

// Gives Wine's output object a working DuplicateOutput (its vtable is shared by every output of the process).
// Safe to call again and from any thread; S_OK once installed.
HRESULT InstallDuplication();
// Puts the output's own DuplicateOutput back. Duplications already made keep working.
void UninstallDuplication();

// The next `count` acquisitions answer DXGI_ERROR_WAIT_TIMEOUT (no new desktop image).
void TimeOutAcquisitions(int count);
// Every acquisition that delivers an image takes `ms` milliseconds, as on a busy machine (0: no delay).
void SlowAcquisitions(int ms);
// Every duplication made so far is lost now (DXGI_ERROR_ACCESS_LOST from then on); the next `refusals` calls of
// DuplicateOutput answer `refusal` (E_ACCESSDENIED: the secure desktop is shown).
void LoseAccess(int refusals, HRESULT refusal = E_ACCESSDENIED);
// The same, at the first acquisition after `acquisitions` more desktop images were delivered.
void LoseAccessAfter(int acquisitions, int refusals, HRESULT refusal = E_ACCESSDENIED);
// Back to a duplication that never fails.
void ClearFaults();
// Faults from text, for processes that cannot be called (the injected daemon):
// "timeouts=N,lose-after=N,refusals=N,slow-ms=N". False when the text has anything else.
bool ApplyFaults(const std::string& text);

// From now on every output describes itself as turned clockwise by `rotation` and laid out at `desktop`
// (desktop coordinates; an empty rectangle leaves each where it is), and duplications made from then on deliver
// that rectangle of the real desktop in the output's unrotated layout, with the unrotated mode and the rotation
// in their description, as DXGI does for a turned monitor. DXGI_MODE_ROTATION_IDENTITY and an empty rectangle
// undo it. Works once InstallDuplication succeeded; ClearFaults leaves it.
void TurnOutputs(DXGI_MODE_ROTATION rotation, RECT desktop = RECT{});

struct Counts {
  long live_duplications;  // duplication objects not yet destroyed
  long live_textures;      // desktop textures of the stand-in not yet destroyed
  long duplicate_calls;    // DuplicateOutput calls answered, refusals included
  long images;             // desktop images delivered
};
Counts GetCounts();

}  // namespace VellRecorder::StandIn
