#include "media_sources/audio/capturepacket.h"

namespace VellRecorder {

bool WritePacket(AudioRingBuffer* ring, const uint8_t* data, size_t bytes, uint32_t flags,
                 std::vector<uint8_t>* scratch) {
  if (bytes == 0) return true;
  if (IsSilentPacket(flags) || data == nullptr) {
    scratch->assign(bytes, 0);
    data = scratch->data();
  }
  return ring->Write(data, bytes);
}

}  // namespace VellRecorder
