#include "media_transforms/framepool.h"

#include <new>
#include <utility>

namespace VellRecorder {

FramePool::Block::Block(std::shared_ptr<Shelf> shelf, std::unique_ptr<uint8_t[]> bytes, size_t size)
    : shelf_(std::move(shelf)), bytes_(std::move(bytes)), size_(size) {}

FramePool::Block::Block(Block&& other) noexcept
    : shelf_(std::move(other.shelf_)), bytes_(std::move(other.bytes_)), size_(other.size_) {
  other.size_ = 0;
}

FramePool::Block& FramePool::Block::operator=(Block&& other) noexcept {
  if (this != &other) {
    GiveBack();
    shelf_ = std::move(other.shelf_);
    bytes_ = std::move(other.bytes_);
    size_ = other.size_;
    other.size_ = 0;
  }
  return *this;
}

FramePool::Block::~Block() { GiveBack(); }

void FramePool::Block::GiveBack() {
  if (bytes_ && shelf_) {
    std::lock_guard<std::mutex> lock(shelf_->mutex);
    if (shelf_->unused.size() < shelf_->max_kept) shelf_->unused.push_back(std::move(bytes_));
  }
  bytes_.reset();
  shelf_.reset();
  size_ = 0;
}

FramePool::FramePool(size_t block_size, size_t max_kept)
    : block_size_(block_size), shelf_(std::make_shared<Shelf>()) {
  shelf_->max_kept = max_kept;
}

FramePool::Block FramePool::Acquire() {
  {
    std::lock_guard<std::mutex> lock(shelf_->mutex);
    if (!shelf_->unused.empty()) {
      std::unique_ptr<uint8_t[]> bytes = std::move(shelf_->unused.back());
      shelf_->unused.pop_back();
      return Block(shelf_, std::move(bytes), block_size_);
    }
    ++shelf_->allocated;
  }
  // Allocated outside the lock: a large allocation may take a while, and blocks coming back need not wait. Out of
  // memory gives an empty block, for the caller to report.
  std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[block_size_ > 0 ? block_size_ : 1]);
  if (!bytes) return Block();
  return Block(shelf_, std::move(bytes), block_size_);
}

size_t FramePool::Kept() const {
  std::lock_guard<std::mutex> lock(shelf_->mutex);
  return shelf_->unused.size();
}

size_t FramePool::Allocated() const {
  std::lock_guard<std::mutex> lock(shelf_->mutex);
  return shelf_->allocated;
}

}  // namespace VellRecorder
