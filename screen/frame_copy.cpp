#include "screen/frame_copy.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

// 16-byte vectors where the processor has them (SSE2, NEON). Without them (an ARM build
// without NEON, as Debian's armhf is) the compiler would take them apart element by element,
// slower than a plain loop over the pixels.
#if defined(__GNUC__) && (defined(__SSE2__) || defined(__ARM_NEON) || defined(__aarch64__))
#define ALARM_HAVE_VECTORS 1
#endif

namespace {

// Pixels are read and written as little-endian words, as on every phone this runs on: the
// back surface's bytes R, G, B, A are the word's bits 0, 8, 16 and 24.

// The back surface's own order.
struct AsDrawn {
  template <typename Word>
  Word operator()(Word v) const {
    return v;
  }
};

// A 32-bit display with its colours at other bytes (XRGB 8888, for one).
struct MoveBytes {
  uint32_t r, g, b, a;
  template <typename Word>
  Word operator()(Word v) const {
    return ((v & 0xffu) << r) | (((v >> 8) & 0xffu) << g) | (((v >> 16) & 0xffu) << b) |
           ((v >> 24) << a);
  }
};

// XRGB 8888, the most common order: red and blue trade bytes, green and the free byte stay.
// Fewer operations than MoveBytes, with fixed shifts (a rotation on ARM).
struct SwapRedBlue32 {
  template <typename Word>
  Word operator()(Word v) const {
    return (v & 0xff00ff00u) | (((v >> 16) | (v << 16)) & 0x00ff00ffu);
  }
};

// A 16-bit display with red and blue trading places (BGR 565), two pixels a word.
struct SwapRedBlue565 {
  template <typename Word>
  Word operator()(Word v) const {
    return (v & 0x07e007e0u) | ((v >> 11) & 0x001f001fu) | ((v & 0x001f001fu) << 11);
  }
};

#if defined(ALARM_HAVE_VECTORS)
typedef uint32_t Words4 __attribute__((vector_size(16)));

inline Words4 reverse_words(Words4 v) {
#if defined(__clang__)
  return __builtin_shufflevector(v, v, 3, 2, 1, 0);
#else
  return __builtin_shuffle(v, Words4{3, 2, 1, 0});
#endif
}

// 16 bytes of pixels in reverse order: the four 32-bit words turned round and, for 16-bit
// pixels, the two halves of each word swapped too.
template <typename Pixel>
inline Words4 reverse_pixels(Words4 v) {
  v = reverse_words(v);
  if constexpr (sizeof(Pixel) == 2) v = (v << 16) | (v >> 16);
  return v;
}
#endif

template <typename Pixel, typename Convert>
inline void copy_pixel(uint8_t* dst, const uint8_t* src, Convert convert) {
  Pixel v;
  memcpy(&v, src, sizeof v);
  v = static_cast<Pixel>(convert(uint32_t{v}));
  memcpy(dst, &v, sizeof v);
}

// One row in the display's order, 32 bytes at a time where the compiler offers vectors (SSE
// on the host, NEON on a phone), pixel by pixel for the rest.
template <typename Pixel, typename Convert>
void copy_row(uint8_t* dst, const uint8_t* src, uint32_t count, Convert convert) {
  uint32_t p = 0;
#if defined(ALARM_HAVE_VECTORS)
  constexpr uint32_t kLanes = 16 / sizeof(Pixel);
  for (; p + 2 * kLanes <= count; p += 2 * kLanes) {
    Words4 a, b;
    memcpy(&a, src + p * sizeof(Pixel), 16);
    memcpy(&b, src + (p + kLanes) * sizeof(Pixel), 16);
    a = convert(a);
    b = convert(b);
    memcpy(dst + p * sizeof(Pixel), &a, 16);
    memcpy(dst + (p + kLanes) * sizeof(Pixel), &b, 16);
  }
#endif
  for (; p < count; ++p) {
    copy_pixel<Pixel>(dst + p * sizeof(Pixel), src + p * sizeof(Pixel), convert);
  }
}

// The same with the row's pixels in reverse order.
template <typename Pixel, typename Convert>
void copy_row_reversed(uint8_t* dst, const uint8_t* src, uint32_t count, Convert convert) {
  uint32_t p = 0;
#if defined(ALARM_HAVE_VECTORS)
  constexpr uint32_t kLanes = 16 / sizeof(Pixel);
  for (; p + 2 * kLanes <= count; p += 2 * kLanes) {
    Words4 a, b;
    memcpy(&a, src + (count - p - kLanes) * sizeof(Pixel), 16);
    memcpy(&b, src + (count - p - 2 * kLanes) * sizeof(Pixel), 16);
    a = convert(reverse_pixels<Pixel>(a));
    b = convert(reverse_pixels<Pixel>(b));
    memcpy(dst + p * sizeof(Pixel), &a, 16);
    memcpy(dst + (p + kLanes) * sizeof(Pixel), &b, 16);
  }
#endif
  for (; p < count; ++p) {
    copy_pixel<Pixel>(dst + p * sizeof(Pixel), src + (count - 1 - p) * sizeof(Pixel), convert);
  }
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
// On x86 a 16-bit row turns fastest with one byte shuffle (SSSE3) per 16 bytes.
typedef uint8_t Bytes16 __attribute__((vector_size(16)));

__attribute__((target("ssse3"))) void copy_row_reversed_565_ssse3(uint8_t* dst, const uint8_t* src,
                                                                  uint32_t count) {
  constexpr uint32_t kLanes = 8;
  uint32_t p = 0;
  for (; p + 2 * kLanes <= count; p += 2 * kLanes) {
    Bytes16 a, b;
    memcpy(&a, src + (count - p - kLanes) * 2, 16);
    memcpy(&b, src + (count - p - 2 * kLanes) * 2, 16);
#if defined(__clang__)
    a = __builtin_shufflevector(a, a, 14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1);
    b = __builtin_shufflevector(b, b, 14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1);
#else
    const Bytes16 order = {14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1};
    a = __builtin_shuffle(a, order);
    b = __builtin_shuffle(b, order);
#endif
    memcpy(dst + p * 2, &a, 16);
    memcpy(dst + (p + kLanes) * 2, &b, 16);
  }
  copy_row_reversed<uint16_t>(dst + p * 2, src, count - p, AsDrawn());
}

bool have_ssse3() {
  static const bool yes = __builtin_cpu_supports("ssse3");
  return yes;
}

bool have_avx2() {
  static const bool yes = __builtin_cpu_supports("avx2");
  return yes;
}

// The same, 32 bytes at a time (AVX2 shuffles each 16-byte half with the same order).
__attribute__((target("avx2"))) void shuffle_rows_avx2(uint8_t* dst, size_t pitch,
                                                       const uint8_t* src, uint32_t width,
                                                       uint32_t rows, bool turned,
                                                       const uint8_t* order, MoveBytes move) {
  const __m128i half = _mm_loadu_si128(reinterpret_cast<const __m128i*>(order));
  const __m256i mask = _mm256_broadcastsi128_si256(half);
  const size_t row = static_cast<size_t>(width) * 4;
  for (uint32_t i = 0; i < rows; ++i) {
    uint8_t* out = dst + i * pitch;
    const uint8_t* in = src + (turned ? rows - 1 - i : i) * row;
    uint32_t p = 0;
    for (; p + 8 <= width; p += 8) {
      __m256i v;
      if (turned) {
        // Pixels p..p+3 come from the 16 bytes at width - p - 4, p+4..p+7 from those before.
        v = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(in + (width - p - 8) * 4),
                                reinterpret_cast<const __m128i*>(in + (width - p - 4) * 4));
      } else {
        v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + p * 4));
      }
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + p * 4), _mm256_shuffle_epi8(v, mask));
    }
    for (; p < width; ++p) {
      copy_pixel<uint32_t>(out + p * 4, in + (turned ? width - 1 - p : p) * 4, move);
    }
  }
}

// 16-bit rows 32 bytes at a time: for a BGR 565 display (kSwap) red and blue trade places in
// each pixel, and turned rows take their halves from the other end, each half's pixels
// reversed by a byte shuffle. Both are template arguments, so each loop is straight.
template <bool kTurned, bool kSwap>
__attribute__((target("avx2"))) void rows565_avx2(uint8_t* dst, size_t pitch, const uint8_t* src,
                                                  uint32_t width, uint32_t rows) {
  const __m256i green = _mm256_set1_epi16(0x07e0);
  const __m256i reverse = _mm256_setr_epi8(14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1, 14,
                                           15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1);
  const size_t row = static_cast<size_t>(width) * 2;
  for (uint32_t i = 0; i < rows; ++i) {
    uint8_t* out = dst + i * pitch;
    const uint8_t* in = src + (kTurned ? rows - 1 - i : i) * row;
    uint32_t p = 0;
    for (; p + 16 <= width; p += 16) {
      __m256i v;
      if constexpr (kTurned) {
        v = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(in + (width - p - 16) * 2),
                                reinterpret_cast<const __m128i*>(in + (width - p - 8) * 2));
        v = _mm256_shuffle_epi8(v, reverse);
      } else {
        v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + p * 2));
      }
      if constexpr (kSwap) {
        // Shifts within each 16-bit pixel drop what they move out: red comes down, blue up.
        v = _mm256_or_si256(_mm256_and_si256(v, green),
                            _mm256_or_si256(_mm256_srli_epi16(v, 11), _mm256_slli_epi16(v, 11)));
      }
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + p * 2), v);
    }
    for (; p < width; ++p) {
      const uint8_t* from = in + (kTurned ? width - 1 - p : p) * 2;
      if constexpr (kSwap) {
        copy_pixel<uint16_t>(out + p * 2, from, SwapRedBlue565());
      } else {
        copy_pixel<uint16_t>(out + p * 2, from, AsDrawn());
      }
    }
  }
}
#define ALARM_HAVE_X86_PATHS 1
#endif

template <typename Pixel, typename Convert>
void copy_rows(uint8_t* dst, size_t pitch, const uint8_t* src, uint32_t width, uint32_t rows,
               bool turned, Convert convert) {
  const size_t row = static_cast<size_t>(width) * sizeof(Pixel);
  for (uint32_t i = 0; i < rows; ++i) {
    if (turned) {
      copy_row_reversed<Pixel>(dst + i * pitch, src + (rows - 1 - i) * row, width, convert);
    } else {
      copy_row<Pixel>(dst + i * pitch, src + i * row, width, convert);
    }
  }
}

bool is_byte(ColourField f) {
  return f.length == 8 && f.offset % 8 == 0 && f.offset <= 24;
}

}  // namespace

FrameLayout frame_layout_for(uint32_t bits_per_pixel, ColourField red, ColourField green,
                             ColourField blue) {
  FrameLayout layout;
  if (bits_per_pixel == 16) {
    layout.bytes_per_pixel = 2;
    // BGR 565: red at the low end. Anything else is drawn as RGB 565, as always.
    layout.as_drawn = !(red.offset == 0 && red.length == 5 && green.offset == 5 &&
                        green.length == 6 && blue.offset == 11 && blue.length == 5);
    return layout;
  }
  if (bits_per_pixel != 32 || !is_byte(red) || !is_byte(green) || !is_byte(blue) ||
      red.offset == green.offset || red.offset == blue.offset || green.offset == blue.offset) {
    return layout;
  }
  const uint32_t alpha = 48 - red.offset - green.offset - blue.offset;  // the byte left free
  layout.shift[0] = static_cast<uint8_t>(red.offset);
  layout.shift[1] = static_cast<uint8_t>(green.offset);
  layout.shift[2] = static_cast<uint8_t>(blue.offset);
  layout.shift[3] = static_cast<uint8_t>(alpha);
  layout.as_drawn = red.offset == 0 && green.offset == 8 && blue.offset == 16;
  return layout;
}

void copy_frame(uint8_t* dst, size_t dst_pitch, const uint8_t* src, uint32_t width, uint32_t rows,
                const FrameLayout& layout, bool turned) {
  const bool wide = layout.bytes_per_pixel == 4;
  const size_t row = static_cast<size_t>(width) * layout.bytes_per_pixel;
  if (layout.as_drawn && !turned) {
    if (dst_pitch == row) {
      memcpy(dst, src, row * rows);
    } else {
      for (uint32_t i = 0; i < rows; ++i) memcpy(dst + i * dst_pitch, src + i * row, row);
    }
    return;
  }
  if (!wide && !layout.as_drawn) {
#if defined(ALARM_HAVE_X86_PATHS)
    if (have_avx2()) {
      (turned ? rows565_avx2<true, true> : rows565_avx2<false, true>)(dst, dst_pitch, src, width,
                                                                      rows);
      return;
    }
#endif
    copy_rows<uint16_t>(dst, dst_pitch, src, width, rows, turned, SwapRedBlue565());
    return;
  }
  if (!wide) {
#if defined(ALARM_HAVE_X86_PATHS)
    if (have_avx2()) {
      rows565_avx2<true, false>(dst, dst_pitch, src, width, rows);
      return;
    }
    if (have_ssse3()) {
      for (uint32_t i = 0; i < rows; ++i) {
        copy_row_reversed_565_ssse3(dst + i * dst_pitch, src + (rows - 1 - i) * row, width);
      }
      return;
    }
#endif
    copy_rows<uint16_t>(dst, dst_pitch, src, width, rows, true, AsDrawn());
    return;
  }
  const MoveBytes move{layout.shift[0], layout.shift[1], layout.shift[2], layout.shift[3]};
#if defined(ALARM_HAVE_X86_PATHS)
  // The shuffle also turns a frame in the back surface's own order (its shifts leave every
  // byte in place), faster than the generic reversal.
  if (have_avx2()) {
    // Byte k of pixel i of 16 display bytes comes from colour c of pixel i (or 3 - i).
    uint8_t order[16];
    for (uint32_t i = 0; i < 4; ++i) {
      for (uint32_t c = 0; c < 4; ++c) {
        order[4 * i + layout.shift[c] / 8] = static_cast<uint8_t>(4 * (turned ? 3 - i : i) + c);
      }
    }
    shuffle_rows_avx2(dst, dst_pitch, src, width, rows, turned, order, move);
    return;
  }
#endif
  if (layout.as_drawn) {
    copy_rows<uint32_t>(dst, dst_pitch, src, width, rows, true, AsDrawn());
    return;
  }
  if (move.r == 16 && move.g == 8 && move.b == 0 && move.a == 24) {
    copy_rows<uint32_t>(dst, dst_pitch, src, width, rows, turned, SwapRedBlue32());
    return;
  }
  copy_rows<uint32_t>(dst, dst_pitch, src, width, rows, turned, move);
}
