// The entry point of every test program. A program whose cases all passed or were skipped, with at least one
// skipped, ends with VELL_SKIPPED_EXIT_CODE, which CTest counts as a skipped test (SKIP_RETURN_CODE, both set
// by vell_test): a Windows program runs as one CTest test, and a skip inside it would otherwise count as a pass.
// A failure anywhere still ends with gtest's own failing status, skips or not.
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const int status = RUN_ALL_TESTS();
  const testing::UnitTest& run = *testing::UnitTest::GetInstance();
  if (status == 0 && run.failed_test_count() == 0 && run.skipped_test_count() > 0) return VELL_SKIPPED_EXIT_CODE;
  return status;
}
