// Where the sink puts each frame in time: sound delivered in bursts ahead of and behind the picture still lands
// in the part whose picture it belongs to, and a picture that stops does not stop the parts.
#include <algorithm>
#include <cstdlib>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "muxers/hlssink.h"
#include "muxers/test_util.h"
#include "muxers/ts_reader.h"

namespace VellRecorder {
namespace {

using namespace Testing;

constexpr int64_t kVideoStepUs = 33333;
constexpr int64_t kAudioStepUs = 21333;  // 1024 samples at 48 kHz
constexpr int64_t kAudioFrameTicks = 1920;

struct Delivery {
  int64_t arrival_us, time_us;  // when the session hands it over; its time on the recording's time line
  StreamKind kind;
  bool key;
};

// What one part holds: the PTS of its frames, per stream, in file order.
struct PartTimes {
  std::vector<uint64_t> video, audio;
  bool starts_with_keyframe = false;
};

class HLSSinkTimingTest : public ::testing::Test {
 protected:
  HLSSinkTimingTest() : sink_(folder_.wide(), [this](std::wstring path) { reported_.push_back(std::move(path)); }) {}

  // Video at 30 frames a second from `from` to `to` with a keyframe at its start and wherever the schedule
  // asks, as the sessions make them; it reaches the sink `lag_us` after its time.
  void AddVideo(int64_t from, int64_t to, int64_t lag_us) {
    for (int64_t t = from; t < to; t += kVideoStepUs) {
      deliveries_.push_back({t + lag_us, t, StreamKind::kVideo, t == from || schedule_.Due(t)});
    }
  }
  // Sound from 0 to `to`, handed over in bursts of `burst` frames, each `lag_us(burst index)` after its last
  // frame's time.
  template <typename Lag>
  void AddAudio(int64_t to, int burst, Lag lag_us) {
    const int64_t count = to / kAudioStepUs;
    int64_t arrival = 0;  // a session hands its frames over in order
    for (int64_t i = 0; i < count; ++i) {
      const int64_t last = std::min(count - 1, (i / burst + 1) * burst - 1);
      arrival = std::max(arrival, last * kAudioStepUs + lag_us(i / burst));
      deliveries_.push_back({arrival, i * kAudioStepUs, StreamKind::kAudio, false});
    }
  }
  // Hands everything over in arrival order, each part read as it is reported; the reports made before
  // `mark_us` of arrival time are counted.
  void Deliver(int64_t mark_us = 0) {
    // Not std::stable_sort: its buffer comes from the nothrow operator new, which the allocation counter leaves
    // alone while replacing the delete that frees it.
    std::sort(deliveries_.begin(), deliveries_.end(), [](const Delivery& a, const Delivery& b) {
      return std::make_tuple(a.arrival_us, a.kind, a.time_us) < std::make_tuple(b.arrival_us, b.kind, b.time_us);
    });
    for (const Delivery& d : deliveries_) {
      if (d.arrival_us < mark_us) reported_before_mark_ = reported_.size();
      const Bytes& frame = d.kind == StreamKind::kAudio ? kAudioFrame : d.key ? kKeyframe : kInterFrame;
      sink_.MuxRaw(frame.data(), static_cast<uint32_t>(frame.size()), d.time_us, d.kind);
    }
    sink_.Finish();
    size_t audio = 0;
    for (const std::wstring& path : reported_) {
      parts_.push_back(Read(path));
      audio += parts_.back().audio.size();
    }
    EXPECT_EQ(audio, size_t(std::count_if(deliveries_.begin(), deliveries_.end(),
                                          [](const Delivery& d) { return d.kind == StreamKind::kAudio; })))
        << "every frame is written once";
  }
  static PartTimes Read(const std::wstring& path) {
    std::vector<std::string> errors;
    PartTimes part;
    const std::vector<PesPacket> video = ReadPes(FsPath(path), TsMuxer::kVideoPid, &errors);
    for (const PesPacket& pes : video) part.video.push_back(pes.pts);
    for (const PesPacket& pes : ReadPes(FsPath(path), TsMuxer::kAudioPid, &errors)) part.audio.push_back(pes.pts);
    part.starts_with_keyframe =
        !video.empty() && HLSSink::IsKeyframe(video[0].data.data(), static_cast<uint32_t>(video[0].data.size()));
    EXPECT_TRUE(errors.empty()) << errors.front();
    return part;
  }
  static uint64_t AudioDuration(const PartTimes& part) {
    return part.audio.empty() ? 0 : part.audio.back() + kAudioFrameTicks - part.audio.front();
  }

  TempFolder folder_;
  std::vector<std::wstring> reported_;  // written by the callback under the sink's mutex
  HLSSink sink_;
  KeyframeSchedule schedule_;
  std::vector<Delivery> deliveries_;
  size_t reported_before_mark_ = 0;
  std::vector<PartTimes> parts_;
};

// Sound 300 ms ahead of the picture for two seconds, then 300 ms behind it, by turns: every part but the first
// (which starts where the sources start) and the last (which ends where they stop) holds the sound of exactly
// its picture's span, its sound starting with its keyframe, and the time lines stay in order across the parts.
TEST_F(HLSSinkTimingTest, SoundInBurstsLandsInThePartOfItsPicture) {
  AddVideo(0, 21000000, 300000);
  AddAudio(21000000, 15, [](int64_t burst) { return burst / 6 % 2 ? 600000 : 0; });
  Deliver();
  ASSERT_GE(parts_.size(), 5u);
  uint64_t previous_audio = 0;
  for (size_t i = 0; i < parts_.size(); ++i) {
    const PartTimes& part = parts_[i];
    ASSERT_FALSE(part.video.empty() || part.audio.empty()) << "part " << i;
    EXPECT_TRUE(std::is_sorted(part.audio.begin(), part.audio.end())) << "part " << i;
    EXPECT_GE(part.audio.front(), previous_audio) << "part " << i;
    previous_audio = part.audio.back();
    if (i == 0 || i + 1 == parts_.size()) continue;
    EXPECT_TRUE(part.starts_with_keyframe) << "part " << i;
    EXPECT_GE(part.audio.front(), part.video.front()) << "sound before the picture in part " << i;
    const int64_t video = static_cast<int64_t>(parts_[i + 1].video.front() - part.video.front());
    EXPECT_LE(std::llabs(static_cast<int64_t>(AudioDuration(part)) - video), kAudioFrameTicks)
        << "part " << i << ": sound " << AudioDuration(part) << " ticks, picture " << video;
  }
}

// A camera lost at 6 s and back at 21.5 s, the sound going on throughout: parts go on being cut and reported
// while the picture is gone, on the 4-second grid at the sound, and at keyframes again once it is back.
TEST_F(HLSSinkTimingTest, PartsGoOnAtTheSoundWhileThePictureIsGone) {
  AddVideo(0, 6000000, 100000);
  AddVideo(21500000, 30000000, 100000);
  AddAudio(30000000, 10, [](int64_t) { return 50000; });
  Deliver(/*mark_us=*/21500000);
  EXPECT_GE(reported_before_mark_, 4u) << "parts reported while the picture was gone";
  ASSERT_GE(parts_.size(), 7u);
  size_t without_picture = 0;
  for (size_t i = 1; i + 1 < parts_.size(); ++i) {
    const PartTimes& part = parts_[i];
    ASSERT_FALSE(part.audio.empty()) << "part " << i;
    if (!part.video.empty()) {
      if (part.video.front() <= part.audio.front()) {
        EXPECT_TRUE(part.starts_with_keyframe) << "part " << i;
      }
      continue;
    }
    // The first part without a picture starts where the loss was noticed; the later ones are cut on the grid,
    // a boundary lying at most one sound frame before their first, and last one slot at most.
    EXPECT_LE(AudioDuration(part), 4 * 90000u + kAudioFrameTicks) << "part " << i;
    if (without_picture++ > 0) {
      EXPECT_LT(part.audio.front() % (4 * 90000), uint64_t{kAudioFrameTicks}) << "part " << i;
    }
  }
  EXPECT_GE(without_picture, 3u);
  // Once the picture is back, the parts start at its keyframes.
  const PartTimes& after = parts_[parts_.size() - 1];
  EXPECT_TRUE(after.starts_with_keyframe);
  EXPECT_EQ(after.video.front(), std::min(after.video.front(), after.audio.front()));
  EXPECT_GT(after.video.front(), uint64_t{24 * 90000});
}

}  // namespace
}  // namespace VellRecorder
