#include "src/core/element.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "src/com/error.h"
#include "src/core/large_block.h"

namespace vtfc4 {

std::string Format(const char* format, ...) {
  char stack[512];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(stack, sizeof stack, format, args);
  va_end(args);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof stack) return std::string(stack, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n), '\0');
  va_start(args, format);
  std::vsnprintf(out.data(), out.size() + 1, format, args);
  va_end(args);
  return out;
}

struct TextArena::Block {
  Block* previous;
  size_t bytes;
  // The texts follow the header.
};

TextArena::~TextArena() {
  while (blocks_) {
    Block* previous = blocks_->previous;
    FreeBlock(blocks_, blocks_->bytes);
    blocks_ = previous;
  }
}

void* TextArena::Allocate(size_t size, size_t align) {
  size_t pad = (align - reinterpret_cast<uintptr_t>(next_) % align) % align;
  if (pad + size > left_) {
    // Blocks double from 64 KB up to 2 MB: a small answer takes little. They stay in small
    // pages: the last block is mostly empty, and a huge page is held whole once touched.
    const size_t block = blockSize_;
    if (blockSize_ < kHugePage) blockSize_ *= 2;
    // The header is padded so that a block's texts start aligned for a pointer, the most any
    // caller asks.
    constexpr size_t kAlign = alignof(void*);
    constexpr size_t header = (sizeof(Block) + kAlign - 1) & ~(kAlign - 1);
    const size_t bytes = size + header > block ? size + header : block;
    auto* made = static_cast<Block*>(AllocateBlock(bytes, false));
    made->previous = blocks_;
    made->bytes = bytes;
    blocks_ = made;
    next_ = reinterpret_cast<char*>(made) + header;
    left_ = bytes - header;
    pad = 0;
  }
  void* p = next_ + pad;
  next_ += pad + size;
  left_ -= pad + size;
  return p;
}

bool BasicPropertyType::XMLText(std::string&, std::string_view& out) const {
  if (state_ != 1) return false;
  out = empty_ ? std::string_view() : std::string_view(text_);
  return true;
}

bool BasicPropertyType::SetXMLValue(std::string_view text) {
  state_ = 1;
  empty_ = 0;
  text_.assign(text);
  return true;
}

HRESULT BasicPropertyType::CheckReadable(bool describe) const {
  if (state_ != 1) return describe ? ReportError(kMsgNoValue, kNoValue) : kNoValue;
  if (empty_) return describe ? ReportError(kMsgValueEmpty, kValueEmpty) : kValueEmpty;
  return S_OK;
}

}  // namespace vtfc4
