// The audio time line: mixed PCM cut into encoder chunks with exact time stamps. Needs no Windows API.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "media_transforms/recordingaudio.h"

namespace VellRecorder {

// Cuts mixed PCM (48 kHz mono 16-bit) into 1024-byte chunks (512 samples) and stamps each from the number of
// samples consumed before it: time = origin + samples * 10^7 / 48000 in 100-ns units, rounded down, computed
// from the integer sample count. A chunk's duration is the difference of its stamp and the next one (106,666
// or 106,667). Nothing accumulates rounding, so the stamps stay on the sample clock for any length of
// recording; time spent paused never enters it, because no samples are consumed then.
// Used by one thread (the audio capture thread); no lock.
class AudioChunker {
 public:
  static constexpr size_t kChunkBytes = 1024;
  static constexpr uint32_t kSampleRate = RecordingAudio::kSampleRate;

  // Time of the first sample on the recording's time line (0 until set).
  void SetOrigin(int64_t origin_100ns);
  bool HasOrigin() const { return has_origin_; }
  // Calls deliver(chunk, kChunkBytes, time_100ns, duration_100ns) for each whole chunk at the front of *pcm,
  // removes them, keeps the remainder (< 1024 bytes). Returns the number of chunks. If deliver throws, every
  // chunk handed to it, the one it threw on included, is removed and counted, so none is delivered twice.
  size_t TakeChunks(std::vector<uint8_t>* pcm,
                    const std::function<void(const uint8_t*, size_t, int64_t, int64_t)>& deliver);
  int64_t NextChunkTime100ns() const { return TimeOfSample(samples_); }
  uint64_t SamplesConsumed() const { return samples_; }

 private:
  int64_t TimeOfSample(uint64_t sample) const;

  int64_t origin_100ns_ = 0;
  bool has_origin_ = false;
  uint64_t samples_ = 0;
};

}  // namespace VellRecorder
