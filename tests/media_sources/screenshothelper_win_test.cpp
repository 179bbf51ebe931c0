#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "media_sources/video/displays.h"
#include "media_sources/video/videorecordingsettings.h"
#include "screenshothelper.h"
#include "testing/decodedpicture.h"
#include "testing/logcapture.h"
#include "testing/testwindow.h"

namespace VellRecorder {
namespace {

using Testing::DecodedPicture;

std::wstring TempPath() {
  wchar_t path[MAX_PATH];
  GetTempPathW(MAX_PATH, path);
  return path;
}

int CountFolders(const std::wstring& parent) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((parent + L"*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return 0;
  int folders = 0;
  do {
    const std::wstring name = data.cFileName;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name != L"." && name != L"..") ++folders;
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return folders;
}

TEST(ScreenshotFolderTest, LookupsWithoutScreenshotsLeaveNoFolderBehind) {
  const std::wstring temp = TempPath();
  const int before = CountFolders(temp);
  for (int i = 0; i < 3; ++i) VideoRecordingSettings settings(L"", RECT{}, SIZE{1920, 1080});
  Displays displays;
  displays.FindDisplayById(L"1");
  // Nor does a helper whose GDI+ never started, which cannot write pictures.
  ScreenshotHelper not_started;
  EXPECT_EQ(not_started.TakeScreenshot(L"0", nullptr, RECT{0, 0, 40, 30}), L"");
  EXPECT_EQ(CountFolders(temp), before);
}

TEST(ScreenshotTest, DisplayPictureIsAPngOfTheDisplayNamedAfterItsId) {
  const RECT picture_rect{500, 400, 564, 440};
  Testing::TestWindow window(L"pattern", picture_rect, Testing::WindowStyle::kOnTop);
  ASSERT_TRUE(window.IsOpen());
  SetCursorPos(1900, 1070);

  Displays displays;
  const std::vector<DisplayInfo> list = displays.GetDisplays();
  ASSERT_EQ(list.size(), 1u);
  const std::wstring& path = list[0].screenshotPath;
  ASSERT_FALSE(path.empty());
  // <temp><uuid>\<id>-<seconds>.png
  EXPECT_EQ(path.rfind(TempPath(), 0), 0u) << path.c_str();
  const size_t slash = path.rfind(L'\\');
  ASSERT_NE(slash, std::wstring::npos);
  EXPECT_EQ(slash - TempPath().size(), 36u) << "folder named by a UUID";
  const std::wstring file = path.substr(slash + 1);
  EXPECT_EQ(file.rfind(list[0].id + L"-", 0), 0u);
  EXPECT_EQ(file.substr(file.size() - 4), L".png");
  EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);

  const DecodedPicture decoded(path);
  ASSERT_TRUE(decoded.Decoded());
  EXPECT_TRUE(decoded.IsPng());
  EXPECT_EQ(decoded.Width(), 1920u);
  EXPECT_EQ(decoded.Height(), 1080u);
  for (int y : {0, 17, 39}) {
    for (int x : {0, 31, 63}) {
      EXPECT_EQ(decoded.RgbAt(picture_rect.left + x, picture_rect.top + y), Testing::PatternColor(x, y));
    }
  }
}

TEST(ScreenshotTest, FolderIsMadeAtTheFirstPictureAndAgainWhenItIsGoneAndAFailedSaveGivesNoPath) {
  Testing::LogCapture log;
  ScreenshotHelper helper;
  ASSERT_TRUE(helper.Initialize());
  EXPECT_TRUE(helper.FolderPath().empty());

  const std::wstring first = helper.TakeScreenshot(L"0", nullptr, RECT{0, 0, 40, 30});
  ASSERT_FALSE(first.empty());
  const std::wstring folder = helper.FolderPath();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(first.rfind(folder + L"\\0-", 0), 0u);
  EXPECT_EQ(DecodedPicture(first).Width(), 40u);
  EXPECT_TRUE(log.Contains("creating folder "));
  EXPECT_TRUE(log.Contains("created file at : "));

  const std::wstring second = helper.TakeScreenshot(L"1", nullptr, RECT{10, 10, 20, 20});
  EXPECT_EQ(second.rfind(folder + L"\\1-", 0), 0u);
  EXPECT_EQ(DecodedPicture(second).Height(), 10u);

  // Somebody clears the temporary directory under the running daemon: the next picture makes a new folder.
  ASSERT_TRUE(DeleteFileW(first.c_str()));
  ASSERT_TRUE(DeleteFileW(second.c_str()));
  ASSERT_TRUE(RemoveDirectoryW(folder.c_str()));
  const std::wstring third = helper.TakeScreenshot(L"2", nullptr, RECT{0, 0, 40, 30});
  ASSERT_FALSE(third.empty()) << log.Text();
  EXPECT_EQ(third.rfind(helper.FolderPath() + L"\\2-", 0), 0u);
  EXPECT_EQ(DecodedPicture(third).Width(), 40u);
  EXPECT_TRUE(log.Contains("is gone; making a new one")) << log.Text();

  // A file that cannot be written (its name leads into a folder that does not exist) gives no path.
  EXPECT_EQ(helper.TakeScreenshot(L"missing\\3", nullptr, RECT{0, 0, 40, 30}), L"");
  EXPECT_TRUE(log.Contains("error saving png: ")) << log.Text();
  EXPECT_TRUE(log.Contains(" win error: "));
}

}  // namespace
}  // namespace VellRecorder
