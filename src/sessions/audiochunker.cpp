#include "sessions/audiochunker.h"

#include "utils/clock.h"

namespace VellRecorder {

namespace {

constexpr size_t kSamplesPerChunk = AudioChunker::kChunkBytes / 2;
constexpr int64_t kUnitsPerSecond = 10000000;

}  // namespace

void AudioChunker::SetOrigin(int64_t origin_100ns) {
  origin_100ns_ = origin_100ns;
  has_origin_ = true;
}

int64_t AudioChunker::TimeOfSample(uint64_t sample) const {
  return origin_100ns_ + Rescale(static_cast<int64_t>(sample), kSampleRate, kUnitsPerSecond);
}

size_t AudioChunker::TakeChunks(std::vector<uint8_t>* pcm,
                                const std::function<void(const uint8_t*, size_t, int64_t, int64_t)>& deliver) {
  const size_t count = pcm->size() / kChunkBytes;
  size_t taken = 0;
  auto remove_taken = [&] {
    pcm->erase(pcm->begin(), pcm->begin() + static_cast<std::ptrdiff_t>(taken * kChunkBytes));
  };
  try {
    while (taken < count) {
      const int64_t time = TimeOfSample(samples_);
      const int64_t next = TimeOfSample(samples_ + kSamplesPerChunk);
      const uint8_t* chunk = pcm->data() + taken * kChunkBytes;
      samples_ += kSamplesPerChunk;
      ++taken;
      deliver(chunk, kChunkBytes, time, next - time);
    }
  } catch (...) {
    remove_taken();
    throw;
  }
  remove_taken();
  return count;
}

}  // namespace VellRecorder
