#include "src/core/element.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "src/com/error.h"

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
  // The texts follow the header.
};

TextArena::~TextArena() {
  while (blocks_) {
    Block* previous = blocks_->previous;
    ::operator delete(static_cast<void*>(blocks_));
    blocks_ = previous;
  }
}

void* TextArena::Allocate(size_t size) {
  constexpr size_t kAlign = alignof(void*);
  size = (size + kAlign - 1) & ~(kAlign - 1);
  if (size > left_) {
    constexpr size_t kBlock = 64 * 1024;
    const size_t header = (sizeof(Block) + kAlign - 1) & ~(kAlign - 1);
    const size_t bytes = header + (size > kBlock ? size : kBlock);
    auto* block = static_cast<Block*>(::operator new(bytes));
    block->previous = blocks_;
    blocks_ = block;
    next_ = reinterpret_cast<char*>(block) + header;
    left_ = bytes - header;
  }
  void* p = next_;
  next_ += size;
  left_ -= size;
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
