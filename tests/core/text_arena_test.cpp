// The store that keeps a parsed answer's texts: alignment as asked, no two allocations
// overlapping, and texts larger than any block.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "src/core/element.h"
#include "src/core/large_block.h"

namespace vtfc4 {
namespace {

TEST(TextArena, AlignmentAndSeparateAllocationsAcrossBlocks) {
  TextArena arena;
  struct Made {
    char* at;
    size_t size;
    char fill;
  };
  std::vector<Made> made;
  // Odd sizes with mixed alignments, enough for blocks of every size up to a huge page, and
  // single allocations bigger than the block they would go to.
  size_t total = 0;
  for (int i = 0; total < (size_t{9} << 20); ++i) {
    const size_t size = i % 97 == 0 ? 3 * kHugePage / 2 + i : static_cast<size_t>(i % 37) * 7 + 1;
    const size_t align = i % 3 == 0 ? 8 : i % 3 == 1 ? 4 : 1;
    auto* p = static_cast<char*>(arena.Allocate(size, align));
    ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % align, 0u) << i;
    const char fill = static_cast<char>('a' + i % 26);
    std::memset(p, fill, size);
    made.push_back({p, size, fill});
    total += size;
  }
  for (size_t i = 0; i < made.size(); ++i)
    for (size_t k = 0; k < made[i].size; k += 1 + made[i].size / 8)
      ASSERT_EQ(made[i].at[k], made[i].fill) << "allocation " << i << " was overwritten";
}

TEST(TextBlock, CopiesSmallAndLargeTexts) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{4096}, kHugePage - 1, kHugePage, kHugePage * 3 + 17}) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>(i * 31 + 7);
    TextBlock block(text);
    EXPECT_TRUE(block.View() == text) << size;
    TextBlock moved(std::move(block));
    EXPECT_TRUE(moved.View() == text) << size;
    EXPECT_TRUE(block.View().empty());
  }
}

}  // namespace
}  // namespace vtfc4
