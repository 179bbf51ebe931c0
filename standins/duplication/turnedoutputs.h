// Turned outputs: the output's own GetDesc wrapped so that it reports the rotation and desktop rectangle a
// test asked for (TurnOutputs), and the picture work of a duplication of such an output.
#pragma once

#include <windows.h>
#include <dxgi1_2.h>

#include <cstdint>
#include <vector>

namespace VellRecorder::StandIn {

// Writes one vtable slot through its page's protection (install.cpp); false when the page could not be made
// writable.
bool WriteSlot(void** slot, void* value);

namespace TurnedOutputs {

// Replaces the GetDesc slot of the output vtable; false when the page could not be written. Called with the
// installation's lock held, like Unpatch.
bool Patch(void** vtable);
void Unpatch();

// The duplicated image of a desktop picture (top-down BGRA, `width` x `height` as laid out on the desktop) of
// an output turned by `rotation`: the output's unrotated layout, which turned clockwise by the rotation gives
// the picture back. `image` is resized to fit; its width is returned in `image_width`.
void ToUnrotated(const uint32_t* desktop, int width, int height, DXGI_MODE_ROTATION rotation,
                 std::vector<uint32_t>* image, int* image_width);

}  // namespace TurnedOutputs
}  // namespace VellRecorder::StandIn
