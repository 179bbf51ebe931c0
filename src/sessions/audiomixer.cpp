#include "sessions/audiomixer.h"

#include <algorithm>
#include <limits>

namespace VellRecorder {

AudioMixer::AudioMixer(size_t source_count) : sources_(source_count) {}

void AudioMixer::Append(size_t source, const uint8_t* pcm, size_t length) {
  Source& s = sources_.at(source);
  if (length == 0) return;
  size_t taken = 0;
  if (s.has_odd_byte) {
    s.samples.push_back(s.odd_byte);
    s.samples.push_back(pcm[0]);
    s.has_odd_byte = false;
    taken = 1;
  }
  const size_t whole = (length - taken) & ~size_t{1};
  s.samples.insert(s.samples.end(), pcm + taken, pcm + taken + whole);
  taken += whole;
  if (taken < length) {
    s.has_odd_byte = true;
    s.odd_byte = pcm[taken];
  }
}

size_t AudioMixer::Furthest() const {
  size_t furthest = 0;
  for (const Source& s : sources_) furthest = std::max(furthest, s.samples.size());
  return furthest;
}

void AudioMixer::Pad(Source* source, size_t count) {
  source->samples.insert(source->samples.end(), count, 0);
  source->silence_filled += count;
}

void AudioMixer::PadLaggingSources() {
  const size_t furthest = Furthest();
  for (Source& s : sources_) {
    if (furthest - s.samples.size() > kMaxLagBytes) Pad(&s, furthest - s.samples.size());
  }
}

size_t AudioMixer::Mix(std::vector<uint8_t>* out) {
  if (sources_.empty()) return 0;
  PadLaggingSources();
  size_t n = std::numeric_limits<size_t>::max();
  for (const Source& s : sources_) n = std::min(n, s.samples.size());
  if (n == 0) return 0;

  const size_t at = out->size();
  // The first source is the sum so far (no sum of one sample saturates); each further one is added to it.
  const std::vector<uint8_t>& first = sources_[0].samples;
  out->insert(out->end(), first.begin(), first.begin() + static_cast<std::ptrdiff_t>(n));
  uint8_t* mixed = out->data() + at;
  for (size_t i = 1; i < sources_.size(); ++i) {
    const uint8_t* add = sources_[i].samples.data();
    for (size_t byte = 0; byte < n; byte += 2) {
      int32_t sum = static_cast<int16_t>(mixed[byte] | (mixed[byte + 1] << 8)) +
                    static_cast<int16_t>(add[byte] | (add[byte + 1] << 8));
      sum = std::min<int32_t>(32767, std::max<int32_t>(-32768, sum));
      mixed[byte] = static_cast<uint8_t>(sum & 0xFF);
      mixed[byte + 1] = static_cast<uint8_t>((sum >> 8) & 0xFF);
    }
  }
  for (Source& s : sources_) s.samples.erase(s.samples.begin(), s.samples.begin() + static_cast<std::ptrdiff_t>(n));
  return n;
}

size_t AudioMixer::Drain(std::vector<uint8_t>* out) {
  const size_t furthest = Furthest();
  for (Source& s : sources_) Pad(&s, furthest - s.samples.size());
  return Mix(out);
}

size_t AudioMixer::Pending(size_t source) const {
  const Source& s = sources_.at(source);
  return s.samples.size() + (s.has_odd_byte ? 1 : 0);
}

uint64_t AudioMixer::SilenceFilledBytes(size_t source) const { return sources_.at(source).silence_filled; }

void AudioMixer::Clear() {
  for (Source& s : sources_) {
    s.samples.clear();
    s.has_odd_byte = false;
  }
}

}  // namespace VellRecorder
