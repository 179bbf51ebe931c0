// Pictures and byte-stream helpers for the tests of the Media Foundation H.264 path.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <vector>

#include "mftestsupport.h"

namespace VellRecorder::Testing {

constexpr int kNalSlice = 1, kNalIdr = 5, kNalSps = 7, kNalPps = 8;

// The stand-in encoders' classes (standins/h264encoder).
constexpr CLSID kAsyncStandin = {0xf072a1f6, 0xc10b, 0x416b, {0x8a, 0x44, 0x98, 0xfc, 0x4d, 0x8f, 0x45, 0xd0}};
constexpr CLSID kSyncStandin = {0xf9e065c5, 0xaffd, 0x4265, {0x9e, 0x6c, 0x9f, 0x44, 0x3e, 0xd9, 0x5f, 0x32}};

// NAL unit types of an Annex-B byte stream, in order.
inline std::vector<int> NalTypes(const std::vector<uint8_t>& bytes) {
  std::vector<int> types;
  for (size_t i = 0; i + 3 < bytes.size(); ++i) {
    if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) {
      types.push_back(bytes[i + 3] & 0x1F);
      i += 2;
    }
  }
  return types;
}

// The ids of every SPS and PPS in an Annex-B byte stream, in order (a PPS's own id, not the SPS it names).
// Players that keep parameter sets by the first or the latest one seen need one id for each throughout.
struct ParameterSetId {
  int type;  // kNalSps or kNalPps
  uint32_t id;
  bool operator==(const ParameterSetId& other) const { return type == other.type && id == other.id; }
};

inline void PrintTo(const ParameterSetId& set, std::ostream* out) {
  *out << (set.type == kNalSps ? "SPS " : "PPS ") << set.id;
}

inline std::vector<ParameterSetId> ParameterSetIds(const std::vector<uint8_t>& bytes) {
  std::vector<ParameterSetId> ids;
  for (size_t i = 0; i + 3 < bytes.size(); ++i) {
    if (bytes[i] != 0 || bytes[i + 1] != 0 || bytes[i + 2] != 1) continue;
    const int type = bytes[i + 3] & 0x1F;
    // The id is the first Exp-Golomb field: after profile, constraint flags and level in an SPS.
    size_t bit = (i + 4 + (type == kNalSps ? 3 : 0)) * 8;
    i += 2;
    if (type != kNalSps && type != kNalPps) continue;
    const auto read_bit = [&]() -> uint32_t {
      const size_t byte = bit / 8;
      const uint32_t value = byte < bytes.size() ? (bytes[byte] >> (7 - bit % 8)) & 1 : 1;
      ++bit;
      return value;
    };
    int zeros = 0;
    while (read_bit() == 0 && zeros < 31) ++zeros;
    uint32_t suffix = 0;
    for (int k = 0; k < zeros; ++k) suffix = suffix << 1 | read_bit();
    ids.push_back({type, (1u << zeros) - 1 + suffix});
  }
  return ids;
}

inline int CountSlices(const std::vector<int>& types) {
  int slices = 0;
  for (int type : types) slices += (type == kNalSlice || type == kNalIdr) ? 1 : 0;
  return slices;
}

// A moving I420 picture: a scrolling gradient, a bouncing box and scrolling rows of blocky "text" (detailed
// enough that the encoder's rate control has work to do).
inline std::vector<uint8_t> MovingI420(uint32_t width, uint32_t height, int index) {
  std::vector<uint8_t> i420(size_t{width} * height * 3 / 2);
  const uint32_t box_x = (index * 9) % (width - 64);
  const uint32_t box_y = (index * 5) % (height - 48);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t value = static_cast<uint8_t>((x + y + index * 4) / 3);
      if ((y / 8) % 3 == 0) {
        uint32_t block = (y / 8) * 1000003u + ((x + index * 2) / 8) * 7919u;
        block = block * 1103515245u + 12345u;
        value = static_cast<uint8_t>(40 + (block >> 24) % 160);
      }
      if (x >= box_x && x < box_x + 64 && y >= box_y && y < box_y + 48) value = 235;
      i420[size_t{y} * width + x] = value;
    }
  }
  uint8_t* u = i420.data() + size_t{width} * height;
  uint8_t* v = u + size_t{width} * height / 4;
  for (uint32_t y = 0; y < height / 2; ++y) {
    for (uint32_t x = 0; x < width / 2; ++x) {
      u[y * (width / 2) + x] = static_cast<uint8_t>(64 + (x * 2 + index) % 128);
      v[y * (width / 2) + x] = static_cast<uint8_t>(192 - (y * 2 + index) % 128);
    }
  }
  return i420;
}

inline std::vector<uint8_t> I420ToNV12(const std::vector<uint8_t>& i420, uint32_t width, uint32_t height) {
  const size_t luma = size_t{width} * height;
  std::vector<uint8_t> nv12(i420.begin(), i420.begin() + luma);
  nv12.resize(luma * 3 / 2);
  for (size_t i = 0; i < luma / 4; ++i) {
    nv12[luma + 2 * i] = i420[luma + i];
    nv12[luma + 2 * i + 1] = i420[luma + luma / 4 + i];
  }
  return nv12;
}

// An NV12 sample in system memory.
inline ComPtr<IMFSample> MovingNV12Sample(uint32_t width, uint32_t height, int index, LONGLONG time,
                                          LONGLONG duration) {
  return MakeSample(I420ToNV12(MovingI420(width, height, index), width, height), time, duration);
}

// Current reference count of a COM object.
inline ULONG RefCount(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

}  // namespace VellRecorder::Testing
