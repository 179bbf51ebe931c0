// What the stand-in duplications consult on each call: the faults the test asked for, and the counts it reads.
#pragma once

#include <windows.h>

#include <cstdint>

namespace VellRecorder::StandIn::Faults {

// Duplications made before the latest loss are lost for good.
uint64_t Generation();
// True (and one used up) when this acquisition is to time out.
bool TakeTimeout();
// Milliseconds an acquisition that delivers an image takes.
int AcquisitionDelayMs();
// S_OK, or the refusal this DuplicateOutput call is to answer (one used up).
HRESULT TakeRefusal();
// A loss asked for after so many images happens at the acquisition that follows the last of them.
void BeforeAcquisition();
void ImageDelivered();

void DuplicationCreated();
void DuplicationDestroyed();
void TextureCreated();
void TextureDestroyed();

}  // namespace VellRecorder::StandIn::Faults
