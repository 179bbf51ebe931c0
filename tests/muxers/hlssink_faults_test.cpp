// The sink when the disk does not cooperate: folders that cannot hold a recording, parts that cannot be
// opened, writes that fail part-way, and frames the muxer refuses.
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#endif

#include "muxers/hlssink.h"
#include "muxers/test_util.h"
#include "muxers/ts_reader.h"
#include "testing/logcapture.h"

namespace VellRecorder {
namespace {

using namespace Testing;

// What the system itself says about an error, to check that the sink passes on the real reason.
std::string SystemText(int error) {
#ifdef _WIN32
  return std::system_category().message(error);
#else
  return std::generic_category().message(error);
#endif
}

// A video frame of `size` bytes, a keyframe (SPS first) or not.
Bytes VideoFrame(size_t size, bool key) {
  Bytes frame(size, 0x5A);
  const Bytes head = key ? Bytes{0, 0, 0, 1, 0x67, 0x42, 0, 0x1F, 0, 0, 0, 1, 0x65} : Bytes{0, 0, 0, 1, 0x41, 0x9A};
  std::copy(head.begin(), head.end(), frame.begin());
  return frame;
}

struct ReportingSink {
  explicit ReportingSink(const std::wstring& folder)
      : sink(folder, [this](std::wstring path) { reported.push_back(std::move(path)); }) {}
  void Video(const Bytes& frame, int64_t time_us) {
    sink.MuxRaw(frame.data(), static_cast<uint32_t>(frame.size()), time_us, StreamKind::kVideo);
  }
  std::vector<std::wstring> reported;  // declared first: the sink's destructor may still report
  HLSSink sink;
};

#ifdef _WIN32
// A drive letter with no drive behind it.
std::wstring MissingDrive() {
  const DWORD drives = GetLogicalDrives();
  for (wchar_t letter = L'Q'; letter <= L'Y'; ++letter) {
    if ((drives & (1u << (letter - L'A'))) == 0) return std::wstring(1, letter) + L":";
  }
  return L"B:";
}
#else
// A memory file system of its own, as small as asked, mounted for one test: the only way to run out of
// space on purpose. Mounting needs root; where it is refused the test is skipped.
class SmallDisk {
 public:
  SmallDisk(const char* options, unsigned long flags = 0) {
    char pattern[] = "/tmp/vell-small-disk-XXXXXX";
    if (!mkdtemp(pattern)) return;
    path_ = pattern;
    mounted_ = mount("tmpfs", pattern, "tmpfs", flags, options) == 0;
  }
  ~SmallDisk() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
    if (!path_.empty()) rmdir(path_.c_str());
  }
  bool mounted() const { return mounted_; }
  std::wstring wide() const { return ToWide(path_); }
  std::filesystem::path path() const { return path_; }
  // A file of its own takes every free byte; Free gives them back.
  void Fill() {
    const int file = open((path_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ASSERT_GE(file, 0);
    const std::vector<char> chunk(4096, 0);
    while (write(file, chunk.data(), chunk.size()) > 0) {
    }
    const int error = errno;
    close(file);
    ASSERT_EQ(error, ENOSPC);
  }
  void Free() { unlink((path_ + "/filler").c_str()); }

 private:
  std::string path_;
  bool mounted_ = false;
};
#define SKIP_WITHOUT(disk) \
  if (!(disk).mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << SystemText(errno)
#endif

TEST(OutputFolderTest, FoldersThatCannotHoldARecordingAreRefusedWithTheSystemsReason) {
  TempFolder base;
  const std::wstring file = JoinPath(base.wide(), L"a-file");
  { std::ofstream(FsPath(file)) << "x"; }
  const std::wstring on_the_way = JoinPath(base.wide(), L"made-on-the-way");
#ifdef _WIN32
  const std::string exists = SystemText(ERROR_ALREADY_EXISTS);
#else
  const std::string exists = SystemText(EEXIST);
#endif
  const struct {
    std::wstring folder;
    std::string reason;
  } cases[] = {
      {L"", "the output folder is empty"},
      {L"rec", "the output folder rec is not an absolute path"},
      {JoinPath(file, L"rec"), "cannot create the folder " + ToUtf8(file) + ": " + exists},
      {JoinPath(on_the_way, std::wstring(300, L'a')), "cannot create the folder " + ToUtf8(on_the_way)},
#ifdef _WIN32
      {MissingDrive() + L"\\rec", "cannot create the folder " + ToUtf8(MissingDrive()) + "\\rec: "},
      {L"\\rec", "the output folder \\rec is not an absolute path"},  // on the working folder's drive
#endif
  };
  for (const auto& c : cases) {
    const std::string reason = PrepareOutputFolder(c.folder);
    EXPECT_EQ(reason.rfind(c.reason, 0), 0u) << "folder \"" << ToUtf8(c.folder) << "\": " << reason;
    // A system error is given with the system's own text for its code.
    const size_t code_at = reason.rfind(" (err");
    if (code_at == std::string::npos) continue;
    const int code = std::stoi(reason.substr(reason.find(' ', code_at + 1)));
    const size_t text_at = reason.rfind(": ", code_at) + 2;
    std::string text = reason.substr(text_at, code_at - text_at);
    if (!text.empty() && text.back() == '.') text.pop_back();  // the C++ library drops it
    EXPECT_EQ(text, SystemText(code)) << reason;
  }
  // The folder made before the over-long name failed was removed again.
  EXPECT_FALSE(std::filesystem::exists(FsPath(on_the_way)));
}

TEST(OutputFolderTest, AGoodFolderIsCreatedAndLeftEmpty) {
  TempFolder base;
  const std::wstring folder = JoinPath(JoinPath(base.wide(), L"new"), L"rec");
  EXPECT_EQ(PrepareOutputFolder(folder), "");
  ASSERT_TRUE(std::filesystem::is_directory(FsPath(folder)));
  EXPECT_TRUE(std::filesystem::is_empty(FsPath(folder)));
  EXPECT_EQ(PrepareOutputFolder(folder), "");  // an existing folder is fine too
}

TEST(HLSSinkFaultTest, PartThatCannotBeOpenedIsLoggedAndNotReported) {
  TempFolder folder;
  const std::wstring blocked = JoinPath(folder.wide(), L"not-a-folder");
  { std::ofstream(FsPath(blocked)) << "x"; }
  LogCapture log;
  ReportingSink recording(blocked);
  recording.Video(VideoFrame(100, true), 0);
  recording.Video(VideoFrame(100, false), 1000);
  recording.sink.Finish();
  EXPECT_TRUE(recording.reported.empty());
#ifdef _WIN32
  const std::string reason = SystemText(ERROR_PATH_NOT_FOUND);
#else
  const std::string reason = SystemText(ENOTDIR);
#endif
  const std::string part = ToUtf8(JoinPath(blocked, L"part-0.ts"));
  EXPECT_TRUE(log.Contains("Cannot open part file " + part + ": " + reason)) << log.Text();
  EXPECT_EQ(recording.sink.VideoFrameCount(), 0u);
}

TEST(HLSSinkFaultTest, FrameTheMuxerRefusesIsNotCounted) {
  TempFolder folder;
  ReportingSink recording(folder.wide());
  recording.Video(VideoFrame(TsMuxer::kMaxBufferLength, true), 0);
  EXPECT_EQ(recording.sink.VideoFrameCount(), 0u);
  recording.Video(VideoFrame(100, true), 1000);
  EXPECT_EQ(recording.sink.VideoFrameCount(), 1u);
}

#ifndef _WIN32
TEST(HLSSinkFaultTest, FailedWriteIsLoggedOnceWithTheSystemsReason) {
  LogCapture log;
  {
    PartFile file;
    ASSERT_TRUE(file.Open(L"/dev", L"/dev/full"));
    const Bytes block(188, 0x47);
    EXPECT_FALSE(file.Write(block.data(), block.size()));
    EXPECT_FALSE(file.Write(block.data(), block.size()));
  }
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));  // a device is never removed as an empty part
  const std::string text = log.Text();
  const std::string expected = "Cannot write part file /dev/full: " + SystemText(ENOSPC);
  EXPECT_NE(text.find(expected), std::string::npos) << text;
  EXPECT_EQ(text.find(expected), text.rfind(expected)) << text;
}

TEST(OutputFolderTest, ReadOnlyOrFullDiskIsRefused) {
  {
    SmallDisk disk("size=64k", MS_RDONLY);
    SKIP_WITHOUT(disk);
    const std::string rofs = SystemText(EROFS);
    EXPECT_EQ(PrepareOutputFolder(disk.wide() + L"/rec"),
              "cannot create the folder " + disk.path().string() + "/rec: " + rofs + " (errno 30)");
    EXPECT_EQ(PrepareOutputFolder(disk.wide()),
              "cannot create a file in " + disk.path().string() + ": " + rofs + " (errno 30)");
  }
  SmallDisk disk("size=64k");
  SKIP_WITHOUT(disk);
  disk.Fill();
  EXPECT_EQ(PrepareOutputFolder(disk.wide()),
            "cannot write in " + disk.path().string() + ": " + SystemText(ENOSPC) + " (errno 28)");
  // The trial file was removed again: only the filler is there.
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(disk.path())) names.push_back(entry.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"filler"});
}

// A full disk in the middle of part 0: the part is cut back to its last whole frame and takes nothing more,
// even once space returns; the next part, which also meets a full disk, is not reported and not left
// behind; the part after it records normally.
TEST(HLSSinkFaultTest, FullDiskCutsThePartBackAndRecordingGoesOnInALaterPart) {
  SmallDisk disk("size=128k");
  SKIP_WITHOUT(disk);
  const Bytes key = VideoFrame(10000, true);
  const Bytes inter = VideoFrame(10000, false);
  uint32_t block = 0;
  TsMuxer().MuxVideoFrame(key.data(), static_cast<uint32_t>(key.size()), 0, &block);
  LogCapture log;
  ReportingSink recording(disk.wide());
  recording.Video(key, 0);
  recording.Video(inter, 100000);
  recording.Video(inter, 200000);
  disk.Fill();
  recording.Video(inter, 300000);  // part-way into the last page, then no space
  recording.Video(inter, 400000);
  disk.Free();
  recording.Video(inter, 500000);  // space again, but part 0 is closed to writes
  const std::filesystem::path part0 = disk.path() / "part-0.ts";
  EXPECT_EQ(std::filesystem::file_size(part0), 3u * block);
  EXPECT_TRUE(log.Contains("Cannot write part file " + part0.string() + ": " + SystemText(ENOSPC))) << log.Text();

  disk.Fill();
  recording.Video(key, 4100000);  // cuts part 0; part 1 cannot take its first frame
  disk.Free();
  recording.Video(inter, 4200000);
  recording.Video(key, 8100000);  // cuts part 1, empty; part 2 records
  recording.Video(inter, 8200000);
  recording.sink.Finish();

  const std::vector<std::wstring> expected = {ToWide((disk.path() / "part-0.ts").string()),
                                              ToWide((disk.path() / "part-2.ts").string())};
  EXPECT_EQ(recording.reported, expected);
  EXPECT_FALSE(std::filesystem::exists(disk.path() / "part-1.ts"));
  EXPECT_TRUE(log.Contains("part-1.ts holds no whole frame; removed, not reported")) << log.Text();
  std::vector<std::string> errors;
  const auto first = ReassemblePes(ParsePackets(ReadFile(part0), &errors), TsMuxer::kVideoPid, &errors);
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(first[2].pts, 200000u * 9 / 100);
  const auto third =
      ReassemblePes(ParsePackets(ReadFile(disk.path() / "part-2.ts"), &errors), TsMuxer::kVideoPid, &errors);
  ASSERT_EQ(third.size(), 2u);
  EXPECT_EQ(third[0].pts, 8100000u * 9 / 100);
  EXPECT_TRUE(errors.empty()) << errors.front();
  EXPECT_EQ(recording.sink.VideoFrameCount(), 5u);
}
#endif

}  // namespace
}  // namespace VellRecorder
