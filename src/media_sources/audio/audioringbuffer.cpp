#include "media_sources/audio/audioringbuffer.h"

#include <algorithm>
#include <cstring>

namespace VellRecorder {

AudioRingBuffer::AudioRingBuffer(size_t capacity) : storage_(capacity) {}

size_t AudioRingBuffer::Available() const {
  return write_ >= read_ ? write_ - read_ : write_ + storage_.size() - read_;
}

size_t AudioRingBuffer::FreeSpace() const {
  return storage_.empty() ? 0 : storage_.size() - 1 - Available();
}

bool AudioRingBuffer::Write(const uint8_t* data, size_t length) {
  if (length > FreeSpace()) return false;
  if (length == 0) return true;
  const size_t first = std::min(length, storage_.size() - write_);
  std::memcpy(storage_.data() + write_, data, first);
  std::memcpy(storage_.data(), data + first, length - first);
  write_ = (write_ + length) % storage_.size();
  return true;
}

size_t AudioRingBuffer::Read(uint8_t* out, size_t length) {
  const size_t count = std::min(length, Available());
  if (count == 0) return 0;
  const size_t first = std::min(count, storage_.size() - read_);
  std::memcpy(out, storage_.data() + read_, first);
  std::memcpy(out + first, storage_.data(), count - first);
  read_ = (read_ + count) % storage_.size();
  return count;
}

void AudioRingBuffer::ReadAll(std::vector<uint8_t>* append_to) {
  const size_t old_size = append_to->size();
  append_to->resize(old_size + Available());
  Read(append_to->data() + old_size, append_to->size() - old_size);
}

void AudioRingBuffer::Clear() { read_ = write_; }

}  // namespace VellRecorder
