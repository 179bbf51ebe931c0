// Throughput of TsMuxer on access units of realistic sizes: a 1080p keyframe of about 150 KB, inter
// frames of 2-20 KB, AAC frames of about 250 bytes. Figures are bytes of elementary stream per second.
//
//   muxer_bench [--video=FILE.h264 --audio=FILE.aac] [benchmark options]
//
// With the two files, BM_MuxElementaryStreams muxes every access unit and AAC frame of them, interleaved
// by time as the sessions deliver them; scripts/bench-muxer.sh runs FFmpeg on the same files.
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include <benchmark/benchmark.h>

#include "muxers/es_split.h"
#include "muxers/ts_muxer.h"

namespace VellRecorder {
namespace {

using Bytes = std::vector<uint8_t>;

// A frame of `size` bytes that starts like the encoders' access units.
Bytes Frame(size_t size, uint8_t nal_header) {
  Bytes frame(size);
  for (size_t i = 0; i < size; ++i) frame[i] = static_cast<uint8_t>(0x80 | (i * 131 + size));
  const uint8_t head[] = {0x00, 0x00, 0x00, 0x01, nal_header};
  std::memcpy(frame.data(), head, sizeof(head));
  return frame;
}

void BM_MuxVideoKeyframe(benchmark::State& state) {
  TsMuxer muxer;
  const Bytes frame = Frame(150000, 0x67);
  uint32_t length = 0, pts = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(muxer.MuxVideoFrame(frame.data(), uint32_t(frame.size()), pts += 3000, &length));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frame.size()));
}
BENCHMARK(BM_MuxVideoKeyframe);

void BM_MuxVideoInterFrames(benchmark::State& state) {
  TsMuxer muxer;
  std::vector<Bytes> frames;
  for (size_t size = 2000; size <= 20000; size += 2000) frames.push_back(Frame(size, 0x41));
  uint32_t length = 0, pts = 0;
  int64_t bytes = 0;
  size_t i = 0;
  for (auto _ : state) {
    const Bytes& frame = frames[i++ % frames.size()];
    benchmark::DoNotOptimize(muxer.MuxVideoFrame(frame.data(), uint32_t(frame.size()), pts += 3000, &length));
    bytes += int64_t(frame.size());
  }
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_MuxVideoInterFrames);

void BM_MuxAudioFrame(benchmark::State& state) {
  TsMuxer muxer;
  Bytes frame = Frame(250, 0);
  frame[0] = 0xFF;
  frame[1] = 0xF1;
  uint32_t length = 0, pts = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(muxer.MuxAudioFrame(frame.data(), uint32_t(frame.size()), pts += 1920, &length));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frame.size()));
}
BENCHMARK(BM_MuxAudioFrame);

struct Unit {
  Bytes bytes;
  uint32_t pts;
  bool video;
};

std::vector<Unit> g_units;  // the elementary stream files, interleaved by time
int64_t g_unit_bytes = 0;

void BM_MuxElementaryStreams(benchmark::State& state) {
  TsMuxer muxer;
  uint32_t length = 0;
  int64_t out_bytes = 0;
  for (auto _ : state) {
    for (const Unit& unit : g_units) {
      const uint8_t* block = unit.video
                                 ? muxer.MuxVideoFrame(unit.bytes.data(), uint32_t(unit.bytes.size()), unit.pts, &length)
                                 : muxer.MuxAudioFrame(unit.bytes.data(), uint32_t(unit.bytes.size()), unit.pts, &length);
      benchmark::DoNotOptimize(block);
      out_bytes += length;
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * g_unit_bytes);
  state.counters["units"] = double(g_units.size());
  state.counters["ts_bytes_per_es_byte"] = double(out_bytes) / double(int64_t(state.iterations()) * g_unit_bytes);
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// 30 fps video and 1024-sample AAC frames at 48 kHz, in time order.
void LoadElementaryStreams(const std::string& video_path, const std::string& audio_path) {
  const auto video = Testing::SplitAccessUnits(ReadFile(video_path));
  const auto audio = Testing::SplitAdtsFrames(ReadFile(audio_path));
  size_t a = 0;
  for (size_t v = 0; v < video.size(); ++v) {
    const uint32_t video_pts = uint32_t(v * 3000);
    for (; a < audio.size() && a * 1920 <= video_pts; ++a) g_units.push_back({audio[a], uint32_t(a * 1920), false});
    g_units.push_back({video[v], video_pts, true});
  }
  for (; a < audio.size(); ++a) g_units.push_back({audio[a], uint32_t(a * 1920), false});
  for (const Unit& unit : g_units) g_unit_bytes += int64_t(unit.bytes.size());
}

}  // namespace
}  // namespace VellRecorder

int main(int argc, char** argv) {
  std::string video, audio;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--video=", 0) == 0) {
      video = arg.substr(8);
    } else if (arg.rfind("--audio=", 0) == 0) {
      audio = arg.substr(8);
    } else {
      rest.push_back(argv[i]);
    }
  }
  if (!video.empty() && !audio.empty()) {
    VellRecorder::LoadElementaryStreams(video, audio);
    if (VellRecorder::g_units.empty()) {
      std::fprintf(stderr, "no access units in %s / %s\n", video.c_str(), audio.c_str());
      return 1;
    }
    benchmark::RegisterBenchmark("BM_MuxElementaryStreams", VellRecorder::BM_MuxElementaryStreams);
  }
  int count = static_cast<int>(rest.size());
  benchmark::Initialize(&count, rest.data());
  if (benchmark::ReportUnrecognizedArguments(count, rest.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
