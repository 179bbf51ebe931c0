// Reusable storage for the frames of one pipeline stage. A stage that took fresh memory for every frame paid for
// it again and again (the system hands out large blocks as untouched pages, one fault per page, and takes them
// back when freed); a pool keeps a few blocks it has already touched and lends them out again. Needs no
// Windows API.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace VellRecorder {

class FramePool {
  struct Shelf;

 public:
  // Bytes lent out by a pool. While a block lives nobody else is given its bytes; destroying it gives them back
  // to the pool (or frees them when the pool already keeps enough, or is gone). Move-only; may be destroyed on
  // any thread.
  class Block {
   public:
    Block() = default;
    Block(Block&& other) noexcept;
    Block& operator=(Block&& other) noexcept;
    ~Block();
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

    uint8_t* Data() const { return bytes_.get(); }
    size_t Size() const { return size_; }

   private:
    friend class FramePool;
    Block(std::shared_ptr<Shelf> shelf, std::unique_ptr<uint8_t[]> bytes, size_t size);
    void GiveBack();

    std::shared_ptr<Shelf> shelf_;
    std::unique_ptr<uint8_t[]> bytes_;
    size_t size_ = 0;
  };

  // Blocks of block_size bytes; at most max_kept unused blocks are kept for reuse.
  FramePool(size_t block_size, size_t max_kept);

  // A kept block when there is one, else newly allocated memory: never waits for a block to come back, so a
  // stage is never held up by a slow reader further down the pipeline. The bytes are not cleared. An empty
  // block (null Data) when memory runs out.
  Block Acquire();

  size_t BlockSize() const { return block_size_; }
  // Unused blocks the pool holds now.
  size_t Kept() const;
  // Blocks the pool had to allocate so far (a measure of how well it reuses).
  size_t Allocated() const;

 private:
  // Shared by the pool and its lent blocks, so that a block outliving its pool can still be destroyed.
  struct Shelf {
    std::mutex mutex;
    std::vector<std::unique_ptr<uint8_t[]>> unused;  // guarded by mutex
    size_t max_kept = 0;
    size_t allocated = 0;  // guarded by mutex
  };

  size_t block_size_;
  std::shared_ptr<Shelf> shelf_;
};

}  // namespace VellRecorder
