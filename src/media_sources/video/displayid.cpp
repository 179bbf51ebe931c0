#include "media_sources/video/displayid.h"

#include <algorithm>

#include "utils/textconv.h"

namespace VellRecorder {
namespace {

uint32_t Read16(const unsigned char* p) { return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8); }

// A tail byte enters the hash sign-extended, as the published code reads it through a signed char.
uint32_t SignedByte(unsigned char byte) { return static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(byte))); }

// wchar_t holds UTF-16 on Windows and UTF-32 elsewhere; both count characters outside the BMP as two units.
size_t Utf16Units(const std::wstring& text) {
  if constexpr (sizeof(wchar_t) == 2) return text.size();
  size_t units = 0;
  for (wchar_t c : text) units += (static_cast<uint32_t>(c) >> 16) != 0 ? 2 : 1;
  return units;
}

}  // namespace

uint32_t SuperFastHash(const char* data, size_t length) {
  if (data == nullptr || length == 0) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  uint32_t hash = static_cast<uint32_t>(length);
  for (size_t blocks = length / 4; blocks > 0; --blocks, p += 4) {
    hash += Read16(p);
    const uint32_t tmp = (Read16(p + 2) << 11) ^ hash;
    hash = (hash << 16) ^ tmp;
    hash += hash >> 11;
  }
  switch (length & 3) {
    case 3:
      hash += Read16(p);
      hash ^= hash << 16;
      hash ^= SignedByte(p[2]) << 18;
      hash += hash >> 11;
      break;
    case 2:
      hash += Read16(p);
      hash ^= hash << 11;
      hash += hash >> 17;
      break;
    case 1:
      hash += SignedByte(p[0]);
      hash ^= hash << 10;
      hash += hash >> 1;
      break;
  }
  hash ^= hash << 3;
  hash += hash >> 5;
  hash ^= hash << 4;
  hash += hash >> 17;
  hash ^= hash << 25;
  hash += hash >> 6;
  return hash;
}

uint32_t DisplayIdOf(const std::wstring& device_name) {
  const std::string utf8 = ToUtf8(device_name);
  // An unpaired surrogate converts to an empty text; the unit count must not lead past it.
  return SuperFastHash(utf8.data(), std::min(Utf16Units(device_name), utf8.size()));
}

std::wstring DisplayIdText(const std::wstring& device_name) { return std::to_wstring(DisplayIdOf(device_name)); }

}  // namespace VellRecorder
