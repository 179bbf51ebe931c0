// Drives the audio capture ring and the mixer with arbitrary sequences of operations. The ring is checked byte
// for byte against a plain byte queue; the mixer against what must hold whatever the sources do: every byte appended
// (plus silence padded, less late bytes discarded) is either mixed or pending, nothing pending exceeds the lag
// bound after a mix, and a single source comes out unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "media_sources/audio/audioringbuffer.h"
#include "sessions/audiomixer.h"

namespace {

using namespace VellRecorder;

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  // Bounded so that one input stays cheap whatever its length.
  bool Empty() { return at_ >= size_ || ++ops_ > 200; }
  uint32_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint32_t Word() { return Byte() | (Byte() << 8); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
  int ops_ = 0;
};

void Check(bool condition) {
  if (!condition) std::abort();
}

// One value per operation, filled and compared with the C library so that the coverage instrumentation of
// byte loops does not dominate the time; a byte taken from the wrong place still shows as another value.
std::vector<uint8_t> Filled(size_t length, uint8_t* next) { return std::vector<uint8_t>(length, ++*next); }

// Checks that `got` starts the queue and removes it from the queue.
void TakeFront(std::vector<uint8_t>* queue, const uint8_t* got, size_t length) {
  Check(length <= queue->size() && (length == 0 || std::memcmp(queue->data(), got, length) == 0));
  queue->erase(queue->begin(), queue->begin() + static_cast<std::ptrdiff_t>(length));
}

void FuzzRing(Input* in) {
  const size_t capacity = in->Word() % 513;
  AudioRingBuffer ring(capacity);
  std::vector<uint8_t> model;
  uint8_t next = 0;
  while (!in->Empty()) {
    const uint32_t op = in->Byte() % 4;
    const size_t length = in->Word() % (capacity + 3);
    if (op == 0) {
      const std::vector<uint8_t> bytes = Filled(length, &next);
      const bool fits = length == 0 || (capacity > 0 && model.size() + length <= capacity - 1);
      Check(ring.Write(bytes.data(), bytes.size()) == fits);
      if (fits) model.insert(model.end(), bytes.begin(), bytes.end());
    } else if (op == 1) {
      std::vector<uint8_t> out(length + 1, 0xCD);
      const size_t read = ring.Read(out.data(), length);
      Check(read == std::min(length, model.size()) && out[read] == 0xCD);
      TakeFront(&model, out.data(), read);
    } else if (op == 2) {
      std::vector<uint8_t> out{0x11};
      ring.ReadAll(&out);
      Check(out.size() == model.size() + 1 && out[0] == 0x11);
      TakeFront(&model, out.data() + 1, out.size() - 1);
    } else {
      ring.Clear();
      model.clear();
    }
    Check(ring.Available() == model.size());
    Check(ring.FreeSpace() == (capacity == 0 ? 0 : capacity - 1 - model.size()));
  }
}

void FuzzMixer(Input* in) {
  const size_t count = 1 + in->Byte() % 3;
  AudioMixer mixer(count);
  std::vector<uint64_t> appended(count, 0), cleared(count, 0);
  uint64_t mixed = 0;
  std::vector<uint8_t> single;  // what a lone source delivered and has not yet come out
  uint8_t next = 0;
  while (!in->Empty()) {
    const uint32_t op = in->Byte();
    std::vector<uint8_t> out{0x22};
    if (op % 4 < 2) {
      const size_t source = (op >> 2) % count;
      const std::vector<uint8_t> bytes = Filled(in->Word() % 2048 * (op % 4 + 1) / 2, &next);
      mixer.Append(source, bytes.data(), bytes.size());
      appended[source] += bytes.size();
      if (count == 1) single.insert(single.end(), bytes.begin(), bytes.end());
    } else if (op % 4 == 2) {
      const size_t n = (op & 0x80) ? mixer.Drain(&out) : mixer.Mix(&out);
      Check(n % 2 == 0 && out.size() == n + 1 && out[0] == 0x22);
      mixed += n;
      for (size_t s = 0; s < count; ++s) Check((op & 0x80) || mixer.Pending(s) <= AudioMixer::kMaxLagBytes + 1);
      if (count == 1) TakeFront(&single, out.data() + 1, n);
    } else {
      for (size_t s = 0; s < count; ++s) cleared[s] += mixer.Pending(s);
      mixer.Clear();
      single.clear();
    }
    for (size_t s = 0; s < count; ++s) {
      Check(appended[s] + mixer.SilenceFilledBytes(s) == mixed + cleared[s] + mixer.Pending(s));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  if (in.Byte() % 2 == 0) {
    FuzzRing(&in);
  } else {
    FuzzMixer(&in);
  }
  return 0;
}
