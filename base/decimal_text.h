// Decimal numbers as the program's text files and the database tool give them: white space
// first, then digits up to the first other character, as the C library's conversions read.
#pragma once

#include <cstdint>
#include <string_view>

inline bool is_c_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// A signed decimal as atoi reads it (white space, one sign, digits), keeping the low 32
// bits of a value too large for them; no digits gives 0.
inline int32_t decimal_low32(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && is_c_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  uint32_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10u + static_cast<uint32_t>(text[i] - '0');
  }
  return static_cast<int32_t>(negative ? 0u - value : value);
}
