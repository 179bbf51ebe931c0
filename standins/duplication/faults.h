// What the stand-in duplications consult on each call: the faults the test asked for, and the counts it reads.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

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

// One duplication of an output per process at a time, as DXGI allows (VELL_DUPLICATION_STRICT "lenient" allows
// more): false, and nothing claimed, when `device_name` is duplicated already. Claims it otherwise.
bool ClaimOutput(const std::wstring& device_name);
// The duplication of `device_name` is destroyed.
void ReleaseOutput(const std::wstring& device_name);
void DuplicationCreated();
void DuplicationDestroyed();
void TextureCreated();
void TextureDestroyed();

}  // namespace VellRecorder::StandIn::Faults
