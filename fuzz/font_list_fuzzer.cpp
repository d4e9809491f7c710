// The phone's font lists: the input is a list, read as each of the three kinds. Every name
// taken must be a plain file of the fonts directory, and no more than the limit are taken.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "screen/font_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (FontListKind kind :
       {FontListKind::kFamilies, FontListKind::kSystemFonts, FontListKind::kFallbackFonts}) {
    std::vector<FontFile> files;
    font_list_parse(reinterpret_cast<const char*>(data), size, kind, &files);
    FUZZ_CHECK(files.size() <= FONT_LIST_MAX_FILES);
    if (kind == FontListKind::kSystemFonts) FUZZ_CHECK(files.size() <= 1);
    for (const FontFile& f : files) {
      FUZZ_CHECK(!f.name.empty() && f.name[0] != '.');
      FUZZ_CHECK(f.name.find('/') == std::string::npos);
      FUZZ_CHECK(f.name.find('\0') == std::string::npos);
      FUZZ_CHECK(f.index >= 0);
    }
  }
  return 0;
}
