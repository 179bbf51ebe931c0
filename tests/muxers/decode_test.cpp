// Real decoders read the sink's output: H.264 access units (encoded by ffmpeg/libx264 from a moving test
// pattern) and ADTS AAC frames are fed through HLSSink with their timestamps, then every part, and the
// concatenation of all parts, is decoded by FFmpeg and by GStreamer's TS demuxer. Needs ffmpeg, ffprobe
// and gst-launch-1.0 (with the tsdemux, h264parse, aacparse and libav elements) on PATH.
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "muxers/es_split.h"
#include "muxers/hlssink.h"
#include "muxers/test_util.h"

namespace VellRecorder {
namespace {

using namespace Testing;

struct RunResult {
  int status = -1;
  std::string output;  // standard output and standard error together
};

// Each tool run has a bound of its own: a tool that hangs fails its case instead of keeping the program until
// CTest's time-out.
RunResult RunCommand(const std::string& command) {
  RunResult result;
  std::string quoted = "'";
  for (char c : command) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  quoted += "'";
  FILE* pipe = popen(("timeout -k 5 120 sh -c " + quoted + " 2>&1").c_str(), "r");
  if (!pipe) return result;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0) result.output.append(chunk, n);
  result.status = pclose(pipe);
  return result;
}

std::string Quote(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

struct Packet {
  char kind;  // 'v' or 'a'
  int64_t pts;
};

// Packets as FFmpeg's demuxer sees them, in file order.
std::vector<Packet> ProbePackets(const std::filesystem::path& file) {
  const RunResult probe = RunCommand("ffprobe -v error -show_entries packet=codec_type,pts -of csv=p=0 " + Quote(file));
  EXPECT_EQ(probe.status, 0) << probe.output;
  std::vector<Packet> packets;
  std::istringstream lines(probe.output);
  std::string line;
  while (std::getline(lines, line)) {
    const auto comma = line.find(',');
    if (comma == std::string::npos) continue;
    packets.push_back({line[0], std::stoll(line.substr(comma + 1))});
  }
  return packets;
}

// Decoded frames per stream: "video,N" and "audio,M".
std::pair<int, int> CountDecodedFrames(const std::filesystem::path& file) {
  const RunResult probe = RunCommand("ffprobe -v error -count_frames -show_entries stream=codec_type,nb_read_frames "
                              "-of csv=p=0 " + Quote(file));
  EXPECT_EQ(probe.status, 0) << probe.output;
  std::smatch video, audio;
  std::regex_search(probe.output, video, std::regex("video,(\\d+)"));
  std::regex_search(probe.output, audio, std::regex("audio,(\\d+)"));
  return {video.empty() ? -1 : std::stoi(video[1]), audio.empty() ? -1 : std::stoi(audio[1])};
}

// FFmpeg decodes the whole file without a single warning (timestamps, corrupt data). Its demuxer reports
// continuity counter gaps at debug level only, so those are looked for there.
void ExpectCleanFfmpegDecode(const std::filesystem::path& file) {
  const RunResult decode = RunCommand("ffmpeg -nostdin -hide_banner -v warning -i " + Quote(file) + " -f null -");
  EXPECT_EQ(decode.status, 0) << file;
  EXPECT_EQ(decode.output, "") << file;
  const RunResult debug = RunCommand("ffmpeg -nostdin -hide_banner -v debug -i " + Quote(file) + " -f null -");
  EXPECT_EQ(debug.output.find("Continuity check failed"), std::string::npos) << file;
  EXPECT_NE(debug.output.find("mpegts"), std::string::npos) << debug.output;
}

// FFmpeg copies the streams into another transport stream and into MP4 without a word: a copy checks what
// decoding forgives, e.g. bytes before the first start code of a video PES packet ("no startcode found").
void ExpectCleanStreamCopy(const std::filesystem::path& file) {
  for (const char* format : {"ts", "mp4"}) {
    const std::filesystem::path copy = file.string() + ".copy." + format;
    const RunResult run = RunCommand("ffmpeg -nostdin -hide_banner -v warning -y -i " + Quote(file) + " -c copy " +
                                     Quote(copy));
    EXPECT_EQ(run.status, 0) << file << " to " << format;
    EXPECT_EQ(run.output, "") << file << " to " << format;
  }
}

// GStreamer's demuxer, parsers and decoders take the file to its end without a warning, giving the expected
// frames as raw I420 of 320x240 and mono 16-bit audio: every AAC frame gives 1024 samples, less at most one
// frame of encoder delay that the decoder may trim. Unbounded queues, so that a stream that stalls cannot hold
// the other branch's preroll; a bound on the run time all the same.
void ExpectGstreamerDecode(const std::filesystem::path& file, int video_frames, int audio_frames) {
  const std::string kQueue = "queue max-size-buffers=0 max-size-bytes=0 max-size-time=0";
  const std::filesystem::path video = file.string() + ".yuv", audio = file.string() + ".pcm";
  const RunResult run = RunCommand(
      "timeout 120 gst-launch-1.0 filesrc location=" + Quote(file) + " ! tsdemux name=d"
      " d. ! " + kQueue + " ! h264parse ! avdec_h264 ! video/x-raw,format=I420 ! filesink location=" + Quote(video) +
      " d. ! " + kQueue + " ! aacparse ! avdec_aac ! audioconvert ! audio/x-raw,format=S16LE,channels=1 ! filesink location=" +
      Quote(audio));
  EXPECT_EQ(run.status, 0) << run.output;
  for (const char* bad : {"WARNING", "ERROR"}) EXPECT_EQ(run.output.find(bad), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("Got EOS"), std::string::npos) << run.output;
  std::error_code error;
  const auto video_bytes = std::filesystem::file_size(video, error);
  const auto samples = int64_t(std::filesystem::file_size(audio, error) / 2);
  EXPECT_EQ(video_bytes, uint64_t(video_frames) * (320 * 240 * 3 / 2));
  EXPECT_LE(samples, int64_t{audio_frames} * 1024);
  EXPECT_GE(samples, int64_t{audio_frames - 1} * 1024);
}

class DecodeTest : public ::testing::TestWithParam<bool> {
 protected:
  static void SetUpTestSuite() {
    for (const char* tool : {"ffmpeg", "ffprobe", "gst-launch-1.0"}) {
      if (RunCommand(std::string("command -v ") + tool).status != 0) {
        missing_tool_ = std::string(tool) + " not found on PATH";
        return;
      }
    }
  }

  void SetUp() override { ASSERT_TRUE(missing_tool_.empty()) << missing_tool_; }

  // 10 s of 30 fps video with an IDR every second (SPS and PPS at each, optionally led by a delimiter),
  // no B-frames (the muxer writes no DTS), and 48 kHz AAC.
  void Encode(bool delimiters) {
    const std::string x264 = "keyint=30:min-keyint=30:scenecut=0:repeat-headers=1" + std::string(delimiters ? ":aud=1" : "");
    const RunResult video = RunCommand("ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=320x240:rate=30 -t 10 -c:v libx264 "
                                "-preset ultrafast -bf 0 -pix_fmt yuv420p -x264-params " + x264 + " -f h264 -y " +
                                Quote(work_.path() / "video.h264"));
    ASSERT_EQ(video.status, 0) << video.output;
    const RunResult audio = RunCommand("ffmpeg -nostdin -v error -f lavfi -i sine=frequency=440:sample_rate=48000:duration=10 "
                                "-c:a aac -b:a 96k -f adts -y " + Quote(work_.path() / "audio.aac"));
    ASSERT_EQ(audio.status, 0) << audio.output;
    video_ = SplitAccessUnits(ReadFile(work_.path() / "video.h264"));
    audio_ = SplitAdtsFrames(ReadFile(work_.path() / "audio.aac"));
    ASSERT_EQ(video_.size(), 300u);
    ASSERT_GT(audio_.size(), 460u);
  }

  static int64_t VideoTime(size_t i) { return int64_t(i) * 100000 / 3; }
  static int64_t AudioTime(size_t i) { return int64_t(i) * 64000 / 3; }  // 1024 samples at 48 kHz

  // Both streams interleaved by time, as the sessions deliver them.
  void MuxAll() {
    HLSSink sink(WidePath(work_.path() / "out"), [&](std::wstring path) { parts_.push_back(FsPath(path)); });
    size_t a = 0;
    for (size_t v = 0; v < video_.size(); ++v) {
      for (; a < audio_.size() && AudioTime(a) <= VideoTime(v); ++a) {
        sink.MuxRaw(audio_[a].data(), uint32_t(audio_[a].size()), AudioTime(a), StreamKind::kAudio);
      }
      sink.MuxRaw(video_[v].data(), uint32_t(video_[v].size()), VideoTime(v), StreamKind::kVideo);
    }
    for (; a < audio_.size(); ++a) {
      sink.MuxRaw(audio_[a].data(), uint32_t(audio_[a].size()), AudioTime(a), StreamKind::kAudio);
    }
    sink.Finish();
    EXPECT_EQ(sink.VideoFrameCount(), video_.size());
  }

  static inline std::string missing_tool_;
  TempFolder work_;
  std::vector<Bytes> video_, audio_;
  std::vector<std::filesystem::path> parts_;
};

TEST_P(DecodeTest, PartsAndTheirConcatenationDecodeCleanly) {
  ASSERT_NO_FATAL_FAILURE(Encode(GetParam()));
  MuxAll();
  // IDRs every second: the one at exactly 4 s does not cut, those at 5 s and 9 s do.
  ASSERT_EQ(parts_.size(), 3u);
  const int64_t first_video_pts[] = {0, 450000, 810000};

  std::vector<int64_t> video_pts, audio_pts;
  int decoded_video = 0, decoded_audio = 0;
  for (size_t k = 0; k < parts_.size(); ++k) {
    SCOPED_TRACE(parts_[k].string());
    ExpectCleanFfmpegDecode(parts_[k]);
    ExpectCleanStreamCopy(parts_[k]);
    const auto packets = ProbePackets(parts_[k]);
    bool first_video = true;
    for (const Packet& packet : packets) {
      if (packet.kind == 'v' && first_video) {
        EXPECT_EQ(packet.pts, first_video_pts[k]);
        first_video = false;
      }
      (packet.kind == 'v' ? video_pts : audio_pts).push_back(packet.pts);
    }
    const auto [video, audio] = CountDecodedFrames(parts_[k]);
    decoded_video += video;
    decoded_audio += audio;
    const RunResult first = RunCommand("ffprobe -v error -select_streams v -show_entries frame=key_frame,pict_type "
                                "-read_intervals %+#1 -of csv=p=0 " + Quote(parts_[k]));
    EXPECT_EQ(first.output.substr(0, 3), "1,I") << first.output;
    ExpectGstreamerDecode(parts_[k], video, audio);
  }
  // Every frame went into exactly one part, in order, with its own time; nothing was lost or repeated.
  ASSERT_EQ(video_pts.size(), video_.size());
  for (size_t i = 0; i < video_.size(); ++i) ASSERT_EQ(video_pts[i], VideoTime(i) * 9 / 100) << i;
  ASSERT_EQ(audio_pts.size(), audio_.size());
  for (size_t i = 0; i < audio_.size(); ++i) ASSERT_EQ(audio_pts[i], AudioTime(i) * 9 / 100) << i;
  EXPECT_EQ(decoded_video, int(video_.size()));
  EXPECT_EQ(decoded_audio, int(audio_.size()));

  const std::filesystem::path all = work_.path() / "all.ts";
  {
    std::ofstream out(all, std::ios::binary);
    for (const auto& part : parts_) {
      const Bytes bytes = ReadFile(part);
      out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
  }
  ExpectCleanFfmpegDecode(all);
  ExpectCleanStreamCopy(all);
  EXPECT_EQ(CountDecodedFrames(all), std::make_pair(int(video_.size()), int(audio_.size())));
  ExpectGstreamerDecode(all, int(video_.size()), int(audio_.size()));
}

INSTANTIATE_TEST_SUITE_P(Delimiters, DecodeTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "WithDelimiters" : "WithoutDelimiters"; });

}  // namespace
}  // namespace VellRecorder
