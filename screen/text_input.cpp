#include "screen/text_input.h"

namespace {

bool is_control(uint32_t c) {
  return c < 0x20 || (c >= 0x7F && c < 0xA0);
}

bool is_line_blank(uint32_t c) {
  return c == '\t' || c == '\n' || c == '\r' || c == 0x0B || c == 0x0C || c == 0x85 ||
         c == 0x2028 || c == 0x2029;
}

// Decodes one character at `p` (strictly: no overlong forms, surrogates or values past
// U+10FFFF); the number of bytes it takes, 0 when the byte begins no character.
size_t decode_one(const unsigned char* p, size_t left, uint32_t* out) {
  unsigned char b = p[0];
  if (b < 0x80) {
    *out = b;
    return 1;
  }
  size_t len;
  uint32_t c, min;
  if (b >= 0xC2 && b <= 0xDF) {
    len = 2, c = b & 0x1F, min = 0x80;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3, c = b & 0x0F, min = 0x800;
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4, c = b & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (left < len) return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    c = (c << 6) | (p[i] & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  *out = c;
  return len;
}

}  // namespace

std::vector<uint32_t> text_from_utf8(const char* bytes, size_t size) {
  std::vector<uint32_t> text;
  if (bytes == nullptr) return text;
  if (size > TEXT_MAX_BYTES) size = TEXT_MAX_BYTES;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  bool blank_pending = false;
  size_t i = 0;
  while (i < size) {
    uint32_t c = 0;
    size_t n = decode_one(p + i, size - i, &c);
    if (n == 0) {
      c = TEXT_REPLACEMENT_CHARACTER;
      n = 1;
    }
    i += n;
    if (c == ' ' || is_line_blank(c)) {
      blank_pending = !text.empty();
      continue;
    }
    if (is_control(c)) continue;
    if (blank_pending) text.push_back(' ');
    blank_pending = false;
    text.push_back(c);
  }
  return text;
}
