// Golden-file checks: deterministic synthetic streams are muxed and each output file's size and MD5 are
// compared with the references in golden/muxers.ref. Any change to the bytes written fails here first.
// To accept a deliberate change, rerun with VELL_REGENERATE_GOLDEN=1 and commit the updated reference
// (see golden/README.md).
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "muxers/hlssink.h"
#include "muxers/md5.h"
#include "muxers/test_util.h"

namespace VellRecorder {
namespace {

using namespace Testing;

const std::string kReferencePath = std::string(VELL_GOLDEN_DIR) + "/muxers.ref";

// The same sequence on every platform and run.
class Lcg {
 public:
  uint32_t Next() {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state_ >> 33);
  }
  Bytes Fill(size_t n) {
    Bytes out(n);
    for (auto& b : out) b = static_cast<uint8_t>(Next() | 0x80);  // never a start code by accident
    return out;
  }

 private:
  uint64_t state_ = 42;
};

Bytes Nal(uint8_t header, const Bytes& body) {
  Bytes out = {0x00, 0x00, 0x00, 0x01, header};
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

// 12 s of 30 fps video with a keyframe (SPS, PPS, IDR) every second, every fifth access unit led by a
// delimiter, a few tiny and first-packet-sized frames; ADTS-sized audio frames every 21.333 ms.
std::map<std::string, std::string> MuxSyntheticRecording(const std::filesystem::path& folder) {
  Lcg lcg;
  std::vector<std::wstring> parts;
  {
    HLSSink sink(WidePath(folder), [&](std::wstring path) { parts.push_back(std::move(path)); });
    int64_t next_audio = 0;
    for (int i = 0; i < 360; ++i) {
      const int64_t t = i * 1000000ll / 30;
      for (; next_audio <= t; next_audio += 21333) {
        const Bytes audio = Concat({{0xFF, 0xF1, 0x50, 0x80, 0x00, 0x1F, 0xFC}, lcg.Fill(150 + lcg.Next() % 250)});
        sink.MuxRaw(audio.data(), uint32_t(audio.size()), next_audio, StreamKind::kAudio);
      }
      const size_t size = i % 7 == 3 ? 160 + i % 12 : i % 11 == 5 ? i % 3 : 2000 + lcg.Next() % 18000;
      Bytes frame = i % 30 == 0 ? Concat({Nal(0x67, lcg.Fill(12)), Nal(0x68, lcg.Fill(4)), Nal(0x65, lcg.Fill(150000))})
                                : Nal(0x41, lcg.Fill(size));
      if (i % 5 == 0) frame = Concat({{0x00, 0x00, 0x00, 0x01, 0x09, 0xF0}, frame});
      sink.MuxRaw(frame.data(), uint32_t(frame.size()), t, StreamKind::kVideo);
    }
  }
  std::map<std::string, std::string> result;
  for (const std::wstring& part : parts) {
    const Bytes bytes = ReadFile(FsPath(part));
    result[FsPath(part).filename().string()] = std::to_string(bytes.size()) + " " + Md5Hex(bytes);
  }
  return result;
}

// Every frame length from 0 to 400 bytes, video and audio alternating, in one stream; then, from the same
// muxer, the lengths again from 400 down to 0: its buffer then still holds a longer frame's bytes where a
// shorter one's stuffing goes, and its counters carry on from the first stream.
std::map<std::string, std::string> MuxEveryShortLength() {
  TsMuxer muxer;
  Lcg lcg;
  std::map<std::string, std::string> result;
  for (const char* name : {"short-lengths.ts", "short-lengths-descending.ts"}) {
    const bool descending = result.size() == 1;
    Bytes stream;
    for (uint32_t i = 0; i <= 400; ++i) {
      const uint32_t n = descending ? 400 - i : i;
      Bytes frame = lcg.Fill(n);
      if (n >= 4) frame[0] = frame[1] = frame[2] = 0, frame[3] = 1;
      uint32_t length = 0;
      const uint8_t* block = n % 2 ? muxer.MuxAudioFrame(frame.data(), n, n * 1920, &length)
                                   : muxer.MuxVideoFrame(frame.data(), n, n * 3000, &length);
      stream.insert(stream.end(), block, block + length);
    }
    result[name] = std::to_string(stream.size()) + " " + Md5Hex(stream);
  }
  return result;
}

std::map<std::string, std::string> ReadReference() {
  std::map<std::string, std::string> reference;
  std::ifstream in(kReferencePath);
  std::string name, size, md5;
  while (in >> name >> size >> md5) reference[name] = size + " " + md5;
  return reference;
}

TEST(GoldenTest, OutputMatchesTheStoredReference) {
  TempFolder folder;
  auto actual = MuxSyntheticRecording(folder.path());
  EXPECT_EQ(actual.size(), 3u);  // cuts at 5 s and 9 s
  actual.merge(MuxEveryShortLength());
  if (const char* regenerate = std::getenv("VELL_REGENERATE_GOLDEN"); regenerate && *regenerate == '1') {
    std::ofstream out(kReferencePath);
    for (const auto& [name, value] : actual) out << name << " " << value << "\n";
    GTEST_SKIP() << "reference rewritten: " << kReferencePath;
  }
  const auto reference = ReadReference();
  ASSERT_FALSE(reference.empty()) << "no reference at " << kReferencePath;
  EXPECT_EQ(actual, reference);
}

}  // namespace
}  // namespace VellRecorder
