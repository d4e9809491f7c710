#include "screen/font_list.h"

#include <expat.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/platform.h"

namespace {

constexpr int kRegularWeight = 400;
constexpr size_t kMaxNameBytes = 255;
constexpr int kMaxFaceIndex = 1024;

struct Candidate {
  FontFile file;
  int weight = kRegularWeight;
  bool italic = false;
};

// One family as the parser collects it.
struct Family {
  bool named = false;
  std::vector<Candidate> fonts;
};

struct ParseState {
  FontListKind kind;
  XML_Parser parser = nullptr;
  std::vector<Family> families;
  bool in_family = false;
  int family_depth = 0;
  int depth = 0;
  // Inside a <font> (fonts.xml) or <file> (4.x) element of the current family.
  bool in_file = false;
  int file_depth = 0;
  Candidate current;
  std::string text;
};

const char* attribute(const XML_Char** atts, const char* name) {
  for (int i = 0; atts[i] != nullptr && atts[i + 1] != nullptr; i += 2) {
    if (strcmp(atts[i], name) == 0) return atts[i + 1];
  }
  return nullptr;
}

int number_or(const char* text, int fallback, int limit) {
  if (text == nullptr || *text == '\0') return fallback;
  long v = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return fallback;
    v = v * 10 + (*p - '0');
    if (v > limit) return fallback;
  }
  return static_cast<int>(v);
}

std::string trimmed(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// A plain file name of the fonts directory: nothing that climbs out of it or into a folder.
bool plain_file_name(const std::string& name) {
  return !name.empty() && name.size() <= kMaxNameBytes && name[0] != '.' &&
         name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

void XMLCALL on_start(void* data, const XML_Char* element, const XML_Char** atts) {
  ParseState& s = *static_cast<ParseState*>(data);
  ++s.depth;
  if (!s.in_family && strcmp(element, "family") == 0) {
    s.in_family = true;
    s.family_depth = s.depth;
    Family f;
    f.named = attribute(atts, "name") != nullptr;
    s.families.push_back(f);
    return;
  }
  if (!s.in_family || s.in_file) return;
  const char* file_element = s.kind == FontListKind::kFamilies ? "font" : "file";
  if (strcmp(element, file_element) != 0) return;
  s.in_file = true;
  s.file_depth = s.depth;
  s.text.clear();
  s.current = Candidate{};
  s.current.weight = number_or(attribute(atts, "weight"), kRegularWeight, 1000);
  const char* style = attribute(atts, "style");
  s.current.italic = style != nullptr && strcmp(style, "italic") == 0;
  s.current.file.index = number_or(attribute(atts, "index"), 0, kMaxFaceIndex);
}

void XMLCALL on_end(void* data, const XML_Char*) {
  ParseState& s = *static_cast<ParseState*>(data);
  if (s.in_file && s.depth == s.file_depth) {
    s.in_file = false;
    s.current.file.name = trimmed(s.text);
    if (plain_file_name(s.current.file.name)) s.families.back().fonts.push_back(s.current);
  } else if (s.in_family && s.depth == s.family_depth) {
    s.in_family = false;
  }
  --s.depth;
}

void XMLCALL on_text(void* data, const XML_Char* text, int len) {
  ParseState& s = *static_cast<ParseState*>(data);
  // Only the text right inside the file's element names it (newer lists put <axis> in it).
  if (s.in_file && s.depth == s.file_depth && s.text.size() + len <= kMaxNameBytes + 64) {
    s.text.append(text, static_cast<size_t>(len));
  }
}

// A document type may declare entities that expand without end: a font list has none.
void XMLCALL on_doctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  XML_StopParser(static_cast<ParseState*>(data)->parser, XML_FALSE);
}

// The upright face nearest the regular weight; the list's first among equals.
const Candidate* regular_of(const Family& f) {
  const Candidate* best = nullptr;
  auto distance = [](const Candidate& c) {
    return (c.italic ? 10000 : 0) +
           (c.weight > kRegularWeight ? c.weight - kRegularWeight : kRegularWeight - c.weight);
  };
  for (const Candidate& c : f.fonts) {
    if (best == nullptr || distance(c) < distance(*best)) best = &c;
  }
  return best;
}

void add(const FontFile& f, std::vector<FontFile>* out) {
  if (out->size() < FONT_LIST_MAX_FILES) out->push_back(f);
}

bool read_list(const char* phone_path, FontListKind kind, std::vector<FontFile>* out) {
  std::string path = device_path(phone_path);
  std::unique_ptr<FILE, int (*)(FILE*)> f(fopen(path.c_str(), "rbe"), fclose);
  if (!f) return false;
  std::string text;
  char chunk[8192];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f.get())) > 0) {
    text.append(chunk, n);
    if (text.size() > FONT_LIST_MAX_BYTES) return false;
  }
  size_t before = out->size();
  font_list_parse(text.data(), text.size(), kind, out);
  return out->size() > before;
}

}  // namespace

bool font_list_parse(const char* text, size_t size, FontListKind kind, std::vector<FontFile>* out) {
  ParseState s;
  s.kind = kind;
  s.parser = XML_ParserCreate(nullptr);
  if (s.parser == nullptr) return false;
  XML_SetUserData(s.parser, &s);
  XML_SetElementHandler(s.parser, on_start, on_end);
  XML_SetCharacterDataHandler(s.parser, on_text);
  XML_SetStartDoctypeDeclHandler(s.parser, on_doctype);
  bool ok = size <= FONT_LIST_MAX_BYTES &&
            XML_Parse(s.parser, text, static_cast<int>(size), XML_TRUE) == XML_STATUS_OK;
  XML_ParserFree(s.parser);

  switch (kind) {
    case FontListKind::kFamilies: {
      // The default family is the first one; of the others only the unnamed ones stand in
      // for it (the named ones are other faces: serif, monospace...).
      bool first = true;
      for (const Family& f : s.families) {
        if (!first && f.named) continue;
        first = false;
        if (const Candidate* c = regular_of(f)) add(c->file, out);
      }
      break;
    }
    case FontListKind::kSystemFonts:
      // The first family is the default; its first file is the regular face.
      if (!s.families.empty() && !s.families[0].fonts.empty()) {
        add(s.families[0].fonts[0].file, out);
      }
      break;
    case FontListKind::kFallbackFonts:
      for (const Family& f : s.families) {
        if (!f.fonts.empty()) add(f.fonts[0].file, out);
      }
      break;
  }
  return ok;
}

std::vector<FontFile> font_list_read() {
  std::vector<FontFile> files;
  if (!read_list(FONTS_XML_PATH, FontListKind::kFamilies, &files)) {
    files.clear();
    read_list(SYSTEM_FONTS_XML_PATH, FontListKind::kSystemFonts, &files);
    read_list(FALLBACK_FONTS_XML_PATH, FontListKind::kFallbackFonts, &files);
  }
  for (FontFile& f : files) f.name = device_path((std::string(FONTS_DIR_PATH) + f.name).c_str());
  return files;
}
