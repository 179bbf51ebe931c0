// The H.264 parameter sets (SPS and PPS) of a video stream, put ahead of every IDR picture that comes without
// them: some encoders write them into the stream only once, or keep them out of band altogether (their output
// type's MF_MT_MPEG_SEQUENCE_HEADER). A part must start with them to be decodable, and the sink knows a
// keyframe by its SPS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace VellRecorder {

// Whether an Annex-B access unit holds an IDR slice (NAL type 5).
bool IsIdrAccessUnit(const uint8_t* data, size_t length);

// Not thread-safe: used under its owner's lock.
class ParameterSets {
 public:
  // Annex-B SPS and PPS NAL units (an encoder's sequence header). Ignored when it holds no SPS.
  void SetSequenceHeader(const uint8_t* data, size_t length);
  // Whether an SPS is known, from a sequence header or from the stream.
  bool Known() const { return !sets_.empty(); }

  // The access unit as it is to be written: null when `unit` is fine as it is (an IDR picture that carries its
  // SPS, which is then remembered, or no IDR picture), else the remembered sets followed by the unit's NAL units
  // (after its access unit delimiter, which stays first). Valid until the next call. An IDR picture without an
  // SPS while none is known is left as it is.
  const std::vector<uint8_t>* Complete(const uint8_t* unit, size_t length);

 private:
  std::vector<uint8_t> sets_;       // SPS and PPS NAL units with their start codes
  std::vector<uint8_t> completed_;  // the last completed access unit
};

}  // namespace VellRecorder
