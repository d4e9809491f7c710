// The phone's font list: which font files the alarm's label is drawn with, the default
// family's file first, then one file of each fallback family in the list's order.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

constexpr char FONTS_XML_PATH[] = "/system/etc/fonts.xml";                    // Android 5 and later
constexpr char SYSTEM_FONTS_XML_PATH[] = "/system/etc/system_fonts.xml";      // Android 4.x
constexpr char FALLBACK_FONTS_XML_PATH[] = "/system/etc/fallback_fonts.xml";  // Android 4.x
constexpr char FONTS_DIR_PATH[] = "/system/fonts/";
// More families than any phone lists are left out: each one can cost a shaping pass.
constexpr size_t FONT_LIST_MAX_FILES = 48;
// A list larger than this is not read at all (a phone's is a few tens of kilobytes).
constexpr size_t FONT_LIST_MAX_BYTES = 1 << 20;

struct FontFile {
  std::string name;  // a file of FONTS_DIR_PATH; from font_list_read, its mapped path
  int index = 0;     // the face in a collection
};

enum class FontListKind {
  kFamilies,       // fonts.xml: the first family is the default, families without a name
                   // are its fallbacks
  kSystemFonts,    // system_fonts.xml: the first family's first file is the default
  kFallbackFonts,  // fallback_fonts.xml: each family's first file, in order
};

// The files a list names, appended to `out` in the order above. False when the text is not
// a well-formed list (what was read up to the fault is kept); names that would leave the
// fonts directory are passed over.
bool font_list_parse(const char* text, size_t size, FontListKind kind, std::vector<FontFile>* out);

// The phone's font files, as mapped paths: from fonts.xml, or where it is missing or names
// nothing, from system_fonts.xml then fallback_fonts.xml. Empty when no list names a file.
std::vector<FontFile> font_list_read();
