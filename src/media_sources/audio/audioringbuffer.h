// The byte ring between an audio source's capture and the session's resampling. Needs no Windows API.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace VellRecorder {

// Byte ring of fixed capacity; one byte always stays free, so it holds at most capacity - 1 bytes (a ring of
// capacity 0 or 1 holds nothing).
// Used by one thread (the audio capture thread both writes and reads it); no lock.
class AudioRingBuffer {
 public:
  explicit AudioRingBuffer(size_t capacity);

  size_t Capacity() const { return storage_.size(); }
  size_t Available() const;  // bytes readable
  size_t FreeSpace() const;  // bytes writable
  // All or nothing: false, and nothing written, if it does not fit. A packet cut in two would leave a partial
  // sample frame that shifts every later byte of the stream by part of a sample.
  bool Write(const uint8_t* data, size_t length);
  size_t Read(uint8_t* out, size_t length);       // copies up to length bytes, returns how many
  void ReadAll(std::vector<uint8_t>* append_to);  // moves everything available to the end of *append_to
  void Clear();                                   // drops everything available

 private:
  std::vector<uint8_t> storage_;
  size_t read_ = 0;   // offset of the oldest byte
  size_t write_ = 0;  // offset where the next byte goes; equal to read_ when empty
};

}  // namespace VellRecorder
