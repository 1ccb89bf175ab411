// Internal: memory for the large stores of a parsed answer (its exact text and its kept
// values). A store of a 100 MB answer is written once, page by page, right after it is
// mapped: with 4 KB pages the page faults alone cost about as much as the copy. Blocks of 2 MB
// and more are therefore mapped on 2 MB boundaries and may be offered to the system as huge
// pages; where the system declines, they are ordinary pages and nothing else changes.
#ifndef VTFC4_SRC_CORE_LARGE_BLOCK_H
#define VTFC4_SRC_CORE_LARGE_BLOCK_H

#include <cstddef>
#include <string_view>
#include <utility>

namespace vtfc4 {

inline constexpr size_t kHugePage = size_t{2} << 20;

// `size` bytes aligned for any object; throws std::bad_alloc. Free with FreeBlock and the same
// size. `hugePages` offers a large block as huge pages: worth it for a block filled at once (an
// answer's text); a store that fills block by block would hold the last huge page it touched
// whole, mostly empty.
void* AllocateBlock(size_t size, bool hugePages);
void FreeBlock(void* block, size_t size) noexcept;

// A copy of a text in one block, for as long as it lives.
class TextBlock {
 public:
  TextBlock() = default;
  explicit TextBlock(std::string_view text);
  TextBlock(TextBlock&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  TextBlock& operator=(TextBlock&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    return *this;
  }
  ~TextBlock() { FreeBlock(data_, size_); }

  std::string_view View() const { return std::string_view(data_, size_); }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace vtfc4

#endif  // VTFC4_SRC_CORE_LARGE_BLOCK_H
