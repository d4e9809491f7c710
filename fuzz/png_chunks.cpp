#include "fuzz/png_chunks.h"

#include <zlib.h>

#include <cstring>

const uint8_t PNG_SIGNATURE[PNG_SIGNATURE_SIZE] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

namespace {

constexpr size_t kChunkOverhead = 12;  // length, type, CRC
constexpr size_t kInflateStep = 16384;

uint32_t chunk_crc(const char* type_and_data, size_t n) {
  return static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(type_and_data), static_cast<uInt>(n)));
}

}  // namespace

uint32_t png_get_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void png_put_u32(std::string* s, size_t at, uint32_t v) {
  if (s->size() < at + 4) s->resize(at + 4);
  (*s)[at] = static_cast<char>(v >> 24);
  (*s)[at + 1] = static_cast<char>(v >> 16);
  (*s)[at + 2] = static_cast<char>(v >> 8);
  (*s)[at + 3] = static_cast<char>(v);
}

bool png_split(const uint8_t* data, size_t size, PngFile* out) {
  if (size < PNG_SIGNATURE_SIZE || memcmp(data, PNG_SIGNATURE, PNG_SIGNATURE_SIZE) != 0) {
    return false;
  }
  out->chunks.clear();
  out->trailing.clear();
  size_t pos = PNG_SIGNATURE_SIZE;
  while (size - pos >= kChunkOverhead) {
    uint32_t length = png_get_u32(data + pos);
    if (length > size - pos - kChunkOverhead) break;
    PngChunk c;
    c.type.assign(reinterpret_cast<const char*>(data + pos + 4), 4);
    c.data.assign(reinterpret_cast<const char*>(data + pos + 8), length);
    out->chunks.push_back(std::move(c));
    pos += kChunkOverhead + length;
  }
  out->trailing.assign(reinterpret_cast<const char*>(data + pos), size - pos);
  return true;
}

std::string png_join(const PngFile& file) {
  std::string out(reinterpret_cast<const char*>(PNG_SIGNATURE), PNG_SIGNATURE_SIZE);
  for (const PngChunk& c : file.chunks) {
    size_t at = out.size();
    png_put_u32(&out, at, static_cast<uint32_t>(c.data.size()));
    out += c.type.substr(0, 4);
    out.resize(at + 8, ' ');
    out += c.data;
    png_put_u32(&out, out.size(), chunk_crc(out.data() + at + 4, 4 + c.data.size()));
  }
  return out + file.trailing;
}

void png_fix_crcs(uint8_t* data, size_t size) {
  if (size < PNG_SIGNATURE_SIZE) return;
  size_t pos = PNG_SIGNATURE_SIZE;
  while (size - pos >= kChunkOverhead) {
    uint32_t length = png_get_u32(data + pos);
    if (length > size - pos - kChunkOverhead) return;
    uint32_t crc = chunk_crc(reinterpret_cast<const char*>(data + pos + 4), 4 + length);
    uint8_t* p = data + pos + 8 + length;
    p[0] = static_cast<uint8_t>(crc >> 24);
    p[1] = static_cast<uint8_t>(crc >> 16);
    p[2] = static_cast<uint8_t>(crc >> 8);
    p[3] = static_cast<uint8_t>(crc);
    pos += kChunkOverhead + length;
  }
}

std::string png_ihdr(uint32_t width, uint32_t height, uint8_t depth, uint8_t colour_type,
                     uint8_t interlace) {
  std::string d;
  png_put_u32(&d, 0, width);
  png_put_u32(&d, 4, height);
  d += static_cast<char>(depth);
  d += static_cast<char>(colour_type);
  d += '\0';  // deflate
  d += '\0';  // adaptive filtering
  d += static_cast<char>(interlace);
  return d;
}

bool png_inflate(const std::string& in, size_t limit, std::string* out) {
  out->clear();
  z_stream z = {};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  int rc = Z_OK;
  while (rc == Z_OK && out->size() < limit) {
    size_t at = out->size();
    size_t step = limit - at < kInflateStep ? limit - at : kInflateStep;
    out->resize(at + step);
    z.next_out = reinterpret_cast<Bytef*>(&(*out)[at]);
    z.avail_out = static_cast<uInt>(step);
    rc = inflate(&z, Z_NO_FLUSH);
    out->resize(at + step - z.avail_out);
    if (rc == Z_BUF_ERROR && z.avail_in == 0) break;  // the stream is cut short
  }
  inflateEnd(&z);
  return rc == Z_OK || rc == Z_STREAM_END || !out->empty();
}

std::string png_deflate(const std::string& in, int level) {
  uLongf n = compressBound(static_cast<uLong>(in.size()));
  std::string out(n, '\0');
  if (compress2(reinterpret_cast<Bytef*>(&out[0]), &n, reinterpret_cast<const Bytef*>(in.data()),
                static_cast<uLong>(in.size()), level) != Z_OK) {
    return std::string();
  }
  out.resize(n);
  return out;
}
