// Mixing of the audio session's sources. Needs no Windows API.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace VellRecorder {

// Mixes N sources of 48 kHz mono signed 16-bit little-endian PCM sample by sample, saturating each sum to
// [-32768, 32767]. The mix advances by what every source has delivered, with one bound: a source that lags the
// furthest source by more than kMaxLagBytes (loopback with nothing playing, a stalled microphone) is padded
// with silence up to it, so the others are still heard and their pending bytes stay bounded. The mixer only pads:
// where a padded source's later sound belongs is for the caller to say, which counts the padding with the rest of
// what the source delivered (SilenceFilledBytes) and adds silence or leaves sound out by the source's capture times.
// Used by one thread (the audio capture thread); no lock.
class AudioMixer {
 public:
  // 300 ms of 96,000 bytes per second. A live source delivers in lumps: WASAPI's 50 ms endpoint buffer, the
  // resampling threshold of a few tens of ms, a loop turn that runs late on a busy machine. 300 ms stays well
  // clear of those, so a live source is never padded, while a stalled one delays the others by at most that
  // and holds at most that much of their audio in memory.
  static constexpr size_t kMaxLagBytes = 28800;

  explicit AudioMixer(size_t source_count);

  // Resampled bytes of one source; any length, a sample may be split across calls.
  void Append(size_t source, const uint8_t* pcm, size_t length);
  // Appends to *out the mix of the samples every source has (after padding sources that lag too far).
  // Returns the bytes appended (even).
  size_t Mix(std::vector<uint8_t>* out);
  // At the end of a recording: pads every source with silence up to the furthest and mixes everything.
  size_t Drain(std::vector<uint8_t>* out);
  size_t Pending(size_t source) const;
  // Silence put in for the source so far, by Mix and by Drain.
  uint64_t SilenceFilledBytes(size_t source) const;
  void Clear();  // drops everything pending (used when recording resumes after a pause); counts stay

 private:
  struct Source {
    std::vector<uint8_t> samples;  // whole samples waiting to be mixed
    bool has_odd_byte = false;     // the first byte of a sample whose second byte has not arrived
    uint8_t odd_byte = 0;
    uint64_t silence_filled = 0;
  };

  size_t Furthest() const;
  void PadLaggingSources();
  static void Pad(Source* source, size_t count);

  std::vector<Source> sources_;
};

}  // namespace VellRecorder
