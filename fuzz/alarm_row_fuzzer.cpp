// The database rows as the sqlite3 tool prints them: every line of the input goes through
// parse_alarm_row as the reader hands it over, then the whole input as one line. Each record
// is held against a plain strtok reading of the same line, its texts decoded from "#" and
// hex where a field is so. The same lines go through the 4.4+ row parser, which appends at
// most one template or instance per line.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "alarm/alarm_db.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr int kFields = 9;
constexpr size_t kLineLimit = ALARM_LINE_SIZE - 1;  // what one read of the reader takes
constexpr size_t kTextLimit = ALARM_TEXT_SIZE - 1;

struct ExpectedRow {
  bool appended = false;
  int32_t numbers[7] = {};
  std::string message;
  std::string alert;
};

// Decimal as atoi reads it, low 32 bits kept.
int32_t decimal(const char* s) {
  while (*s == ' ' || (*s >= '\t' && *s <= '\r')) ++s;
  bool negative = *s == '-';
  if (*s == '+' || *s == '-') ++s;
  uint64_t v = 0;
  for (; *s >= '0' && *s <= '9'; ++s) v = (v * 10 + static_cast<uint64_t>(*s - '0')) & 0xffffffffu;
  uint32_t low = static_cast<uint32_t>(v);
  if (negative) low = 0u - low;
  int32_t out;
  memcpy(&out, &low, sizeof out);
  return out;
}

// A field that is "#" and an even number of hex digits (and the line end of the row): its
// bytes up to a NUL, line ends as blanks, the row's line end kept; any other as it stands.
std::string plain_text(const std::string& field) {
  std::string digits = field.substr(field.empty() ? 0 : 1);
  bool line_end = !digits.empty() && digits.back() == '\n';
  if (line_end) digits.pop_back();
  bool coded = !field.empty() && field[0] == '#' && digits.size() % 2 == 0 &&
               digits.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
  if (!coded) return field.substr(0, kTextLimit);
  std::string out;
  for (size_t i = 0; i < digits.size() && out.size() < kTextLimit; i += 2) {
    char c = static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
    if (c == '\0') break;
    out += c == '\n' ? ' ' : c;
  }
  if (line_end && out.size() < kTextLimit) out += '\n';
  return out;
}

ExpectedRow expected_row(const char* line) {
  std::vector<char> copy(kLineLimit + 1, '\0');
  strncpy(copy.data(), line, kLineLimit);
  std::vector<const char*> fields;
  char* save = nullptr;
  for (char* f = strtok_r(copy.data(), "|", &save); f != nullptr && fields.size() < kFields;
       f = strtok_r(nullptr, "|", &save)) {
    fields.push_back(f);
  }
  ExpectedRow row;
  if (fields.size() < ALARM_ROW_MIN_FIELDS) return row;
  row.appended = true;
  for (int i = 0; i < 7; ++i) row.numbers[i] = decimal(fields[i]);
  std::string eighth = plain_text(fields[7]);
  if (fields.size() == kFields) {
    row.message = eighth;
    row.alert = plain_text(fields[8]);
  } else {
    row.alert = eighth;
  }
  return row;
}

// The text, then only NUL bytes to the end of the field.
void check_text(const char (&field)[ALARM_TEXT_SIZE], const std::string& want) {
  FUZZ_CHECK(strnlen(field, sizeof field) <= kTextLimit);
  FUZZ_CHECK(want == field);
  for (size_t i = want.size(); i < sizeof field; ++i) FUZZ_CHECK(field[i] == '\0');
}

AlarmRecord* tail_of(AlarmRecord* head, size_t* count) {
  *count = 0;
  AlarmRecord* tail = nullptr;
  for (AlarmRecord* r = head; r != nullptr; r = r->next) {
    tail = r;
    ++*count;
  }
  return tail;
}

size_t count_of(const AlarmInstanceRecord* r) {
  size_t n = 0;
  for (; r != nullptr; r = r->next) ++n;
  return n;
}

// The 4.4+ parser: at most one record for a line, and its texts bounded and NUL-filled.
void parse_clock_app_and_check(const char* line) {
  size_t templates = 0, instances = count_of(g_alarm_instance_list);
  tail_of(g_alarm_list, &templates);
  FUZZ_CHECK(parse_clock_app_row(line) == 0);
  size_t templates_after = 0, instances_after = count_of(g_alarm_instance_list);
  AlarmRecord* tail = tail_of(g_alarm_list, &templates_after);
  FUZZ_CHECK(templates_after + instances_after <= templates + instances + 1);
  if (templates_after > templates) {
    FUZZ_CHECK(line[0] == 'T' || line[0] == '|');
    FUZZ_CHECK(strnlen(tail->message, sizeof tail->message) <= kTextLimit);
    FUZZ_CHECK(strnlen(tail->alert, sizeof tail->alert) <= kTextLimit);
  }
}

void parse_and_check(const char* line) {
  parse_clock_app_and_check(line);
  size_t before = 0;
  AlarmRecord* old_tail = tail_of(g_alarm_list, &before);
  ExpectedRow want = expected_row(line);
  FUZZ_CHECK(parse_alarm_row(line) == 0);

  size_t after = 0;
  AlarmRecord* tail = tail_of(g_alarm_list, &after);
  if (!want.appended) {
    FUZZ_CHECK(after == before && tail == old_tail);
    return;
  }
  FUZZ_CHECK(after == before + 1 && tail != old_tail && tail->next == nullptr);
  const int32_t got[7] = {tail->id,         tail->hour,    tail->minute, tail->day_mask,
                          tail->alarm_time, tail->enabled, tail->vibrate};
  for (int i = 0; i < 7; ++i) FUZZ_CHECK(got[i] == want.numbers[i]);
  check_text(tail->message, want.message);
  check_text(tail->alert, want.alert);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_sandbox_init("2026-12-09 06:59:40");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  // Lines as the reader takes them from the tool: up to and with the next line end, at
  // most kLineLimit characters, NUL-terminated (a NUL inside ends the text early).
  std::vector<char> line(kLineLimit + 1);
  size_t pos = 0;
  while (pos < size) {
    size_t n = 0;
    while (pos + n < size && n < kLineLimit) {
      if (text[pos + n++] == '\n') break;
    }
    memcpy(line.data(), text + pos, n);
    line[n] = '\0';
    parse_and_check(line.data());
    pos += n;
  }
  // The whole input as one line: the parser's own bound must hold for any length.
  std::string whole(text, size);
  parse_and_check(whole.c_str());
  FUZZ_CHECK(parse_alarm_row(nullptr) == 0);

  free_alarm_list();
  FUZZ_CHECK(g_alarm_list == nullptr);
  return 0;
}
