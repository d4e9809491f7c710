#include "screen/text_runs.h"

#include <algorithm>

namespace {

enum class Kind { kLeft, kRight, kDigit, kNeutral, kMark };

Kind kind_of(hb_unicode_funcs_t* uf, uint32_t c) {
  switch (hb_unicode_general_category(uf, c)) {
    case HB_UNICODE_GENERAL_CATEGORY_UPPERCASE_LETTER:
    case HB_UNICODE_GENERAL_CATEGORY_LOWERCASE_LETTER:
    case HB_UNICODE_GENERAL_CATEGORY_TITLECASE_LETTER:
    case HB_UNICODE_GENERAL_CATEGORY_MODIFIER_LETTER:
    case HB_UNICODE_GENERAL_CATEGORY_OTHER_LETTER:
      return hb_script_get_horizontal_direction(hb_unicode_script(uf, c)) == HB_DIRECTION_RTL
                 ? Kind::kRight
                 : Kind::kLeft;
    case HB_UNICODE_GENERAL_CATEGORY_DECIMAL_NUMBER:
      return Kind::kDigit;
    case HB_UNICODE_GENERAL_CATEGORY_NON_SPACING_MARK:
    case HB_UNICODE_GENERAL_CATEGORY_SPACING_MARK:
    case HB_UNICODE_GENERAL_CATEGORY_ENCLOSING_MARK:
      return Kind::kMark;
    default:
      return Kind::kNeutral;
  }
}

bool real_script(hb_script_t s) {
  return s != HB_SCRIPT_COMMON && s != HB_SCRIPT_INHERITED && s != HB_SCRIPT_UNKNOWN;
}

}  // namespace

std::vector<TextRun> text_runs(const std::vector<uint32_t>& text, bool* rtl_line) {
  hb_unicode_funcs_t* uf = hb_unicode_funcs_get_default();
  const int n = static_cast<int>(text.size());
  std::vector<Kind> kind(n);
  for (int i = 0; i < n; ++i) kind[i] = kind_of(uf, text[i]);
  // A mark goes with the character it sits on.
  for (int i = 0; i < n; ++i) {
    if (kind[i] == Kind::kMark) kind[i] = i > 0 ? kind[i - 1] : Kind::kNeutral;
  }

  bool rtl = false;
  for (Kind k : kind) {
    if (k == Kind::kLeft || k == Kind::kRight) {
      rtl = k == Kind::kRight;
      break;
    }
  }
  if (rtl_line != nullptr) *rtl_line = rtl;
  const int line_level = rtl ? 1 : 0;
  const int left_level = rtl ? 2 : 0;  // left-to-right text inside the line's direction

  // Levels of the strong characters and digits; digits after right-to-left letters in a
  // left-to-right line are a left-to-right piece inside them. For the neutrals beside them,
  // digits read as the last letter before them does (the line's start: as the line).
  std::vector<int> level(n, -1);
  std::vector<bool> reads_right(n, false);
  bool after_right = rtl;
  for (int i = 0; i < n; ++i) {
    switch (kind[i]) {
      case Kind::kLeft:
        level[i] = left_level;
        after_right = false;
        break;
      case Kind::kRight:
        level[i] = 1;
        after_right = true;
        break;
      case Kind::kDigit:
        level[i] = rtl || after_right ? 2 : 0;
        break;
      default:
        continue;
    }
    reads_right[i] = after_right;
  }
  // Neutrals take their neighbours' direction when both agree, else the line's.
  for (int i = 0; i < n;) {
    if (level[i] >= 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < n && level[j] < 0) ++j;
    bool before = i > 0 ? reads_right[i - 1] : rtl;
    bool after = j < n ? reads_right[j] : rtl;
    int l = before == after ? (before ? 1 : left_level) : line_level;
    for (int k = i; k < j; ++k) level[k] = l;
    i = j;
  }

  // Scripts: characters common to all scripts take the script around them.
  std::vector<hb_script_t> script(n);
  hb_script_t last = HB_SCRIPT_COMMON;
  for (int i = 0; i < n; ++i) {
    hb_script_t s = hb_unicode_script(uf, text[i]);
    if (real_script(s)) last = s;
    script[i] = real_script(s) ? s : last;
  }
  // Leading characters without a script of their own take the first real one.
  hb_script_t first = HB_SCRIPT_LATIN;
  for (int i = 0; i < n; ++i) {
    if (real_script(script[i])) {
      first = script[i];
      break;
    }
  }
  for (int i = 0; i < n && !real_script(script[i]); ++i) script[i] = first;

  std::vector<TextRun> runs;
  for (int i = 0; i < n;) {
    int j = i + 1;
    while (j < n && level[j] == level[i] && script[j] == script[i]) ++j;
    TextRun r;
    r.start = i;
    r.end = j;
    r.script = script[i];
    r.level = level[i];
    r.rtl = (level[i] & 1) != 0;
    runs.push_back(r);
    i = j;
  }
  // From the highest level down to the lowest odd one, every stretch of runs at that level
  // or above turns round.
  int top = 0;
  for (const TextRun& r : runs) top = std::max(top, r.level);
  for (int l = top; l >= 1; --l) {
    for (size_t i = 0; i < runs.size();) {
      if (runs[i].level < l) {
        ++i;
        continue;
      }
      size_t j = i;
      while (j < runs.size() && runs[j].level >= l) ++j;
      std::reverse(runs.begin() + static_cast<long>(i), runs.begin() + static_cast<long>(j));
      i = j;
    }
  }
  return runs;
}
