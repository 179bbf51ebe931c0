#include "media_transforms/adtsheader.h"

#include <gtest/gtest.h>

#include <array>
#include <stdexcept>
#include <string>
#include <vector>

namespace VellRecorder {
namespace {

using Header = std::array<uint8_t, kAdtsHeaderSize>;

Header Write(uint16_t payload, uint32_t rate, uint16_t channels) {
  Header header{};
  WriteAdtsHeader(header.data(), payload, rate, channels);
  return header;
}

TEST(AdtsHeaderTest, KnownHeaders) {
  struct Case {
    uint16_t payload;
    uint32_t rate;
    uint16_t channels;
    Header expected;
  };
  const std::vector<Case> cases{
      {249, 48000, 1, {0xFF, 0xF9, 0x4C, 0x40, 0x20, 0x00, 0x00}},
      {1017, 48000, 1, {0xFF, 0xF9, 0x4C, 0x40, 0x80, 0x00, 0x00}},  // frame length 1024: bits 12, 11 clear
      {249, 44100, 1, {0xFF, 0xF9, 0x50, 0x40, 0x20, 0x00, 0x00}},
      {8184, 48000, 2, {0xFF, 0xF9, 0x4C, 0x83, 0xFF, 0xE0, 0x00}},  // the longest frame the field holds
      {1000, 44100, 6, {0xFF, 0xF9, 0x51, 0x80, 0x7D, 0xE0, 0x00}},  // channel configuration across bytes 2, 3
  };
  for (const Case& c : cases) EXPECT_EQ(Write(c.payload, c.rate, c.channels), c.expected) << c.payload;
}

TEST(AdtsHeaderTest, RefusesWhatTheHeaderCannotCarry) {
  Header header{};
  header.fill(0xAB);
  try {
    WriteAdtsHeader(header.data(), 249, 32000, 1);
    FAIL() << "32000 Hz accepted";
  } catch (const std::out_of_range& e) {
    EXPECT_EQ(std::string(e.what()), "invalid map<K, T> key");
  }
  // A frame length past 13 bits would wrap into a short frame and desynchronise readers.
  EXPECT_THROW(WriteAdtsHeader(header.data(), 8185, 48000, 1), std::length_error);
  EXPECT_THROW(WriteAdtsHeader(header.data(), 65535, 48000, 1), std::length_error);
  for (uint8_t byte : header) EXPECT_EQ(byte, 0xAB);  // refused headers leave the buffer alone
}

}  // namespace
}  // namespace VellRecorder
