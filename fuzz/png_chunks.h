// PNG files as chunks: splitting a file into its chunks and joining chunks into a file with
// their CRCs, for the seed generator and the structure-aware mutations of the image fuzzer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t PNG_SIGNATURE_SIZE = 8;
constexpr size_t PNG_IHDR_SIZE = 13;
extern const uint8_t PNG_SIGNATURE[PNG_SIGNATURE_SIZE];

struct PngChunk {
  std::string type;  // four letters
  std::string data;
};

struct PngFile {
  std::vector<PngChunk> chunks;
  std::string trailing;  // bytes after the last whole chunk
};

// False when the bytes do not start with the signature.
bool png_split(const uint8_t* data, size_t size, PngFile* out);
std::string png_join(const PngFile& file);
// Rewrites the CRC of every whole chunk in place.
void png_fix_crcs(uint8_t* data, size_t size);

std::string png_ihdr(uint32_t width, uint32_t height, uint8_t depth, uint8_t colour_type,
                     uint8_t interlace);
void png_put_u32(std::string* s, size_t at, uint32_t v);
uint32_t png_get_u32(const uint8_t* p);

// zlib streams of the image data. Inflating stops at `limit` bytes of output; false when the
// stream is damaged before anything could be had.
bool png_inflate(const std::string& in, size_t limit, std::string* out);
std::string png_deflate(const std::string& in, int level);
