#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "exception.h"
#include "media_transforms/encodersettings.h"
#include "media_transforms/openh264/h264encoder.h"
#include "media_transforms/openh264/i420layout.h"
#include "media_transforms/openh264/libyuvcolorconverter.h"
#include "h264testsupport.h"
#include "testing/logcapture.h"

namespace VellRecorder::OpenH264 {
namespace {

constexpr LONGLONG kFrameDuration = 333333;  // 100-ns units at 30 frames per second
using Testing::kNalIdr;
using Testing::kNalPps;
using Testing::kNalSps;
using Testing::NalTypes;

bool Has(const std::vector<int>& types, int type) {
  return std::find(types.begin(), types.end(), type) != types.end();
}

// A desktop-like BGRA frame that moves: a scrolling gradient, a bouncing box and lines of "text".
std::vector<uint8_t> MovingFrame(uint32_t width, uint32_t height, int index) {
  const int w = static_cast<int>(width), h = static_cast<int>(height);
  std::vector<uint8_t> bgra(size_t{width} * height * 4);
  const int box_x = (index * 11) % (w - 200);
  const int box_y = std::abs((index * 7) % (2 * (h - 120)) - (h - 120));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &bgra[(size_t(y) * width + x) * 4];
      const int sx = x + index * 4, ty = y + index * 2;
      p[0] = static_cast<uint8_t>(sx / 5);
      p[1] = static_cast<uint8_t>(y * 255 / h);
      p[2] = static_cast<uint8_t>(128 + 100 * std::sin((sx + y) / 40.0));
      p[3] = 255;
      if (x > 60 && x < w / 2 && (ty / 6) % 3 == 0 && ((x * 7 + ty / 18 * 13) / 5) % 4 != 0) {
        p[0] = p[1] = p[2] = 20;  // dark glyph strokes on rows of "text"
      }
      if (x >= box_x && x < box_x + 200 && y >= box_y && y < box_y + 120) p[0] = 40, p[1] = 160, p[2] = 230;
    }
  }
  return bgra;
}

void ExpectTiming(IMFSample* sample, int frame) {
  LONGLONG time = -1, duration = -1;
  EXPECT_EQ(sample->GetSampleTime(&time), S_OK);
  EXPECT_EQ(sample->GetSampleDuration(&duration), S_OK);
  EXPECT_EQ(time, frame * kFrameDuration) << "frame " << frame;
  EXPECT_EQ(duration, kFrameDuration) << "frame " << frame;
}

std::vector<uint8_t> ToI420(uint32_t width, uint32_t height, const std::vector<uint8_t>& bgra) {
  Libyuv::ColorConverter converter(width, height, 4);
  ComPtr<IMFMediaBuffer> i420;
  EXPECT_EQ(converter.Process(Testing::MakeBuffer(bgra).Get(), &i420), 0);
  return Testing::ReadBuffer(i420.Get());
}

class OpenH264EncoderTest : public ::testing::Test {
 protected:
  Testing::LogCapture log_;
};

// Writes the stream, its input frames and where the keyframes must decode, for the ffmpeg check, when
// VELL_SWPATH_DUMP_DIR is set.
TEST_F(OpenH264EncoderTest, MovingPatternGivesTimedAccessUnitsWithAnIdrEveryThirtyFrames) {
  constexpr uint32_t kWidth = 1280, kHeight = 720;
  constexpr int kFrames = 90;
  H264Encoder encoder({kWidth, kHeight, 30, 30});
  EXPECT_EQ(encoder.Bitrate(), 3000000u);
  std::vector<uint8_t> stream, input;
  std::vector<int> idr_positions;  // in the decoded sequence, which lacks skipped frames
  int emitted = 0;
  for (int i = 0; i < kFrames; ++i) {
    const auto frame = ToI420(kWidth, kHeight, MovingFrame(kWidth, kHeight, i));
    ComPtr<IMFSample> out = encoder.Encode(Testing::MakeSample(frame, i * kFrameDuration, kFrameDuration).Get());
    ASSERT_TRUE(out) << "frame " << i;
    ExpectTiming(out.Get(), i);
    const auto bytes = Testing::ReadSample(out.Get());
    // Rate control may drop a frame or two after each costly IDR frame, never the IDR frame itself.
    if (bytes.empty() && i % 30 != 0) continue;
    ASSERT_GE(bytes.size(), 4u) << "frame " << i;
    ASSERT_TRUE(bytes[0] == 0 && bytes[1] == 0 && (bytes[2] == 1 || (bytes[2] == 0 && bytes[3] == 1)));
    const auto types = NalTypes(bytes);
    if (i % 30 == 0) {
      EXPECT_TRUE(Has(types, kNalIdr)) << "frame " << i;
      EXPECT_TRUE(Has(types, kNalSps) && Has(types, kNalPps)) << "frame " << i;
      EXPECT_EQ(types.front(), kNalSps) << "frame " << i;
      idr_positions.push_back(emitted);
    } else {
      EXPECT_FALSE(Has(types, kNalIdr)) << "frame " << i;
      EXPECT_FALSE(Has(types, kNalSps)) << "frame " << i;
    }
    ++emitted;
    stream.insert(stream.end(), bytes.begin(), bytes.end());
    input.insert(input.end(), frame.begin(), frame.end());
  }
  EXPECT_EQ(encoder.FrameCount(), static_cast<uint64_t>(kFrames));
  EXPECT_GE(emitted, kFrames * 9 / 10) << "too many frames skipped";
  // Each keyframe repeats the first one's parameter sets under the same ids.
  const std::vector<Testing::ParameterSetId> ids = Testing::ParameterSetIds(stream);
  ASSERT_EQ(ids.size(), 2 * idr_positions.size());
  for (size_t k = 0; k < ids.size(); ++k) EXPECT_EQ(ids[k], ids[k % 2]) << "parameter set " << k;
  EXPECT_EQ(log_.Text(), "");

  if (const char* dir = std::getenv("VELL_SWPATH_DUMP_DIR")) {
    const std::string base = std::string(dir) + "/swpath";
    for (const auto& [suffix, bytes] : {std::pair{".h264", &stream}, std::pair{".yuv", &input}}) {
      std::ofstream(base + suffix, std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
    }
    std::ofstream info(base + ".txt");
    info << kWidth << " " << kHeight << " " << emitted << "\n";
    for (size_t k = 0; k < idr_positions.size(); ++k) info << (k ? " " : "") << idr_positions[k];
    info << "\n";
    ASSERT_TRUE(info.good()) << base;
  }
}

TEST_F(OpenH264EncoderTest, SkippedFrameGivesAnEmptySampleThatKeepsItsTiming) {
  constexpr uint32_t kWidth = 640, kHeight = 360;
  H264Encoder encoder({kWidth, kHeight, 30, 30});
  std::mt19937 random(7);
  std::vector<uint8_t> noise(kWidth * kHeight * 3 / 2);
  int skipped = -1;
  for (int i = 0; i < 60 && skipped < 0; ++i) {
    for (auto& b : noise) b = static_cast<uint8_t>(random());
    ComPtr<IMFSample> out = encoder.Encode(Testing::MakeSample(noise, i * kFrameDuration, kFrameDuration).Get());
    ASSERT_TRUE(out);
    DWORD buffers = 0;
    ASSERT_EQ(out->GetBufferCount(&buffers), S_OK);
    ASSERT_EQ(buffers, 1u);
    if (Testing::ReadSample(out.Get()).empty()) {
      skipped = i;
      ExpectTiming(out.Get(), i);
    }
  }
  ASSERT_GT(skipped, 0) << "400 kbit/s of noise never made the encoder skip a frame";
  EXPECT_EQ(encoder.FrameCount(), static_cast<uint64_t>(skipped + 1));
}

TEST_F(OpenH264EncoderTest, UnreadableOrShortInputGivesNullAndDoesNotCountTowardsTheIdrSchedule) {
  constexpr uint32_t kWidth = 320, kHeight = 180;
  H264Encoder encoder({kWidth, kHeight, 30, 30});
  const auto frame = ToI420(kWidth, kHeight, MovingFrame(kWidth, kHeight, 0));
  const auto encode = [&](int i) {
    return encoder.Encode(Testing::MakeSample(frame, i * kFrameDuration, kFrameDuration).Get());
  };
  for (int i = 0; i < 29; ++i) ASSERT_TRUE(encode(i));

  Testing::FakeBuffer locked_away(kWidth * kHeight * 3 / 2, kWidth * kHeight * 3 / 2);
  locked_away.refuse_lock = true;
  ComPtr<IMFSample> unreadable;
  ASSERT_EQ(MFCreateSample(unreadable.ReleaseAndGetAddressOf()), S_OK);
  ASSERT_EQ(unreadable->AddBuffer(&locked_away), S_OK);
  EXPECT_FALSE(encoder.Encode(unreadable.Get()));
  EXPECT_TRUE(log_.Contains("failed to load buffer with BufferLoader")) << log_.Text();
  unreadable.Reset();

  ComPtr<IMFSample> empty;
  ASSERT_EQ(MFCreateSample(empty.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_FALSE(encoder.Encode(empty.Get()));
  const std::vector<uint8_t> short_frame(frame.begin(), frame.end() - 1);
  EXPECT_FALSE(encoder.Encode(Testing::MakeSample(short_frame, 0, kFrameDuration).Get()));
  EXPECT_EQ(encoder.FrameCount(), 29u);

  ComPtr<IMFSample> frame29 = encode(29);
  ComPtr<IMFSample> frame30 = encode(30);
  ASSERT_TRUE(frame29 && frame30);
  EXPECT_FALSE(Has(NalTypes(Testing::ReadSample(frame29.Get())), kNalIdr));
  EXPECT_TRUE(Has(NalTypes(Testing::ReadSample(frame30.Get())), kNalIdr));
}

TEST_F(OpenH264EncoderTest, RefusedSizeThrowsTheInitialisationMessage) {
  try {
    H264Encoder encoder({0, 0, 30, 30});
    FAIL() << "a 0x0 encoder was created";
  } catch (const Exception& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("Failed to initialize H264 encoder"), std::string::npos) << what;
    EXPECT_NE(what.find("src/media_transforms/openh264/h264encoder.cpp"), std::string::npos) << what;
  }
}

// The sizes EncoderAcceptsSize draws its line between are the ones OpenH264 itself takes and refuses: a
// side under 16 pixels fails at every frame, more than 36864 macroblocks at initialisation.
TEST_F(OpenH264EncoderTest, AcceptedSizesEncodeAndTheSizesJustBeyondAreRefused) {
  const struct {
    uint32_t width, height;
  } cases[] = {{16, 16}, {14, 16}, {16, 2}, {4096, 2304}, {4096, 2320}, {2304, 4096}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    const bool accepted = EncoderAcceptsSize(c.width, c.height);
    log_.Clear();
    bool encoded = false;
    try {
      H264Encoder encoder({c.width, c.height, 30, 30});
      const std::vector<uint8_t> grey(Libyuv::I420PlanarSize(c.width, c.height), 128);
      ComPtr<IMFSample> out = encoder.Encode(Testing::MakeSample(grey, 0, kFrameDuration).Get());
      encoded = out && !Testing::ReadSample(out.Get()).empty() && !log_.Contains("Encode error");
    } catch (const Exception&) {
      encoded = false;
    }
    EXPECT_EQ(encoded, accepted) << log_.Text();
  }
}

}  // namespace
}  // namespace VellRecorder::OpenH264
