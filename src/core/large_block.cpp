#include "src/core/large_block.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <new>

namespace vtfc4 {

namespace {
// Mapped to the next small page only: the system gives huge pages to the whole 2 MB ranges of
// the block and small pages to its tail, so a block just over a multiple of 2 MB does not
// cost a whole huge page more (a 10 MB answer's text would take 12 MB).
size_t MappedSize(size_t size) {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return (size + page - 1) & ~(page - 1);
}
}  // namespace

void* AllocateBlock(size_t size, bool hugePages) {
  if (size < kHugePage) return ::operator new(size);
  const size_t mapped = MappedSize(size);
  if (mapped < size) throw std::bad_alloc();
  // One huge page more than needed, then the ends cut off so the block starts on a boundary.
  const size_t reserved = mapped + kHugePage;
  void* raw = mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHugePage - 1) & ~(uintptr_t{kHugePage} - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const size_t tail = start + reserved - (aligned + mapped);
  if (tail) munmap(reinterpret_cast<void*>(aligned + mapped), tail);
  void* block = reinterpret_cast<void*>(aligned);
  // Advice only: without huge pages the block works the same.
  if (hugePages) (void)madvise(block, mapped, MADV_HUGEPAGE);
  return block;
}

void FreeBlock(void* block, size_t size) noexcept {
  if (!block) return;
  if (size < kHugePage)
    ::operator delete(block);
  else
    munmap(block, MappedSize(size));
}

TextBlock::TextBlock(std::string_view text) {
  if (text.empty()) return;
  data_ = static_cast<char*>(AllocateBlock(text.size(), true));
  size_ = text.size();
  std::memcpy(data_, text.data(), text.size());
}

}  // namespace vtfc4
