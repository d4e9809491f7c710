// A label's bytes as the characters it is laid out from: UTF-8 decoded, whatever cannot be
// shown on one line taken out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr uint32_t TEXT_REPLACEMENT_CHARACTER = 0xFFFD;
// No label holds more (the record keeps 511 bytes).
constexpr size_t TEXT_MAX_BYTES = 511;

// The characters of `bytes` (at most TEXT_MAX_BYTES of them are read): a byte that does not
// begin a well-formed UTF-8 sequence becomes U+FFFD; line breaks and tabs become one blank;
// other control characters go; blanks are run together and cut off at both ends.
std::vector<uint32_t> text_from_utf8(const char* bytes, size_t size);
