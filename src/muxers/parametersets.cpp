#include "muxers/parametersets.h"

namespace VellRecorder {
namespace {

constexpr int kNalIdr = 5;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;
constexpr int kNalDelimiter = 9;

struct Nal {
  size_t begin;   // the start code's first byte
  size_t end;     // the next start code's first byte, or the end
  int type;
};

// The NAL units of an Annex-B buffer: each begins at a 3- or 4-byte start code.
std::vector<Nal> SplitNals(const uint8_t* data, size_t length) {
  std::vector<Nal> nals;
  for (size_t i = 0; i + 3 < length; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const size_t begin = i > 0 && data[i - 1] == 0 ? i - 1 : i;
    if (!nals.empty()) nals.back().end = begin;
    nals.push_back({begin, length, data[i + 3] & 0x1F});
    i += 2;
  }
  return nals;
}

bool Has(const std::vector<Nal>& nals, int type) {
  for (const Nal& nal : nals) {
    if (nal.type == type) return true;
  }
  return false;
}

void Append(std::vector<uint8_t>* to, const uint8_t* data, const Nal& nal) {
  to->insert(to->end(), data + nal.begin, data + nal.end);
}

}  // namespace

bool IsIdrAccessUnit(const uint8_t* data, size_t length) { return Has(SplitNals(data, length), kNalIdr); }

void ParameterSets::SetSequenceHeader(const uint8_t* data, size_t length) {
  const std::vector<Nal> nals = SplitNals(data, length);
  if (!Has(nals, kNalSps)) return;
  sets_.clear();
  for (const Nal& nal : nals) {
    if (nal.type == kNalSps || nal.type == kNalPps) Append(&sets_, data, nal);
  }
}

const std::vector<uint8_t>* ParameterSets::Complete(const uint8_t* unit, size_t length) {
  const std::vector<Nal> nals = SplitNals(unit, length);
  if (!Has(nals, kNalIdr)) return nullptr;
  if (Has(nals, kNalSps)) {
    // The stream's own sets replace what was known: an encoder rebuilt mid-recording may change them.
    SetSequenceHeader(unit, length);
    return nullptr;
  }
  if (sets_.empty()) return nullptr;
  completed_.clear();
  completed_.reserve(sets_.size() + length);
  size_t next = 0;
  if (!nals.empty() && nals.front().type == kNalDelimiter) Append(&completed_, unit, nals[next++]);
  completed_.insert(completed_.end(), sets_.begin(), sets_.end());
  completed_.insert(completed_.end(), unit + (next < nals.size() ? nals[next].begin : length), unit + length);
  return &completed_;
}

}  // namespace VellRecorder
