#include "media_transforms/framepool.h"

#include <gtest/gtest.h>

#include "testing/watchdog.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace VellRecorder {
namespace {

TEST(FramePoolTest, MemoryComesBackOnlyWhenItsBlockIsGoneAndOnlyUpToTheKeptCount) {
  FramePool pool(4096, 2);
  const uint8_t* first = nullptr;
  {
    FramePool::Block a = pool.Acquire();
    ASSERT_NE(a.Data(), nullptr);
    EXPECT_EQ(a.Size(), 4096u);
    first = a.Data();
    std::memset(a.Data(), 0xA5, a.Size());
    // Held: never lent again, however often others come and go.
    for (int i = 0; i < 5; ++i) {
      FramePool::Block other = pool.Acquire();
      EXPECT_NE(other.Data(), first);
      std::memset(other.Data(), i, other.Size());
    }
    for (size_t i = 0; i < a.Size(); ++i) ASSERT_EQ(a.Data()[i], 0xA5) << "byte " << i << " was overwritten";
  }
  EXPECT_EQ(pool.Allocated(), 2u);  // the held block and one reused for the five others
  EXPECT_EQ(pool.Kept(), 2u);
  std::vector<FramePool::Block> many;
  for (int i = 0; i < 4; ++i) many.push_back(pool.Acquire());
  EXPECT_EQ(pool.Allocated(), 4u);
  EXPECT_EQ(pool.Kept(), 0u);
  many.clear();
  EXPECT_EQ(pool.Kept(), 2u) << "at most max_kept unused blocks stay";

  // Moving a block moves the lending; the moved-from block gives nothing back.
  FramePool::Block moved = pool.Acquire();
  const uint8_t* bytes = moved.Data();
  FramePool::Block target = std::move(moved);
  EXPECT_EQ(target.Data(), bytes);
  EXPECT_EQ(moved.Data(), nullptr);
  EXPECT_EQ(pool.Kept(), 1u);
}

TEST(FramePoolTest, BlocksMayOutliveThePoolAndComeBackFromOtherThreads) {
  FramePool::Block survivor;
  {
    FramePool pool(1 << 16, 3);
    survivor = pool.Acquire();
  }
  std::memset(survivor.Data(), 1, survivor.Size());  // still valid memory (ASan checks)
  survivor = FramePool::Block();

  // Each thread fills what it holds with its own mark and checks it after letting the others run: a block lent
  // to two holders at once would show another thread's mark.
  FramePool pool(1 << 14, 2);
  std::atomic<int> clashes{0};
  std::vector<std::thread> threads;
  for (int t = 1; t <= 4; ++t) {
    threads.emplace_back([&pool, &clashes, t] {
      for (int i = 0; i < 300; ++i) {
        FramePool::Block block = pool.Acquire();
        std::memset(block.Data(), t, block.Size());
        std::this_thread::yield();
        for (size_t b = 0; b < block.Size(); b += 512) {
          if (block.Data()[b] != t) {
            ++clashes;
            break;
          }
        }
      }
    });
  }
  Testing::WithinOrDie(std::chrono::seconds(20), "the pool's threads", [&threads] {
    for (std::thread& thread : threads) thread.join();
  });
  EXPECT_EQ(clashes, 0);
  EXPECT_LE(pool.Kept(), 2u);
}

}  // namespace
}  // namespace VellRecorder
