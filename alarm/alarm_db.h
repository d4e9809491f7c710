// The clock application's alarms, read through the sqlite3 tool into g_alarm_list.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

constexpr int ALARM_TEXT_SIZE = 512;
constexpr int ALARM_LINE_SIZE = 1024;
constexpr char ALARM_DB_PATH[] = "/data/data/com.android.deskclock/databases/alarms.db";
// From Android 7.0 the clock application keeps its database in device-protected storage,
// readable before the user unlocks the phone.
constexpr char ALARM_DB_DE_PATH[] = "/data/user_de/0/com.android.deskclock/databases/alarms.db";
// The program's own directory: a database with a write-ahead log is read from a copy here,
// so that reading it never creates a file beside the clock application's database.
constexpr char ALARM_WORK_DIR[] = "/data/misc/poweroff_alarm";
constexpr char SQLITE_TOOL_PATH[] = "/system/xbin/sqlite3";
// Lines with fewer fields are skipped (blank lines, garbage). A row whose two texts are
// empty still has eight: the line end that follows its seventh column is a field.
constexpr int ALARM_ROW_MIN_FIELDS = 8;
// The query may take this long; a sqlite3 that has not finished by then is ended, and the
// rows it printed in full are all there is.
constexpr int64_t ALARM_DB_READ_LIMIT_US = 10 * 1000000;

struct AlarmRecord {
  int32_t id;
  int32_t hour;
  int32_t minute;
  int32_t day_mask;  // bit 0 Monday ... bit 6 Sunday; 0 rings once
  int32_t alarm_time;
  int32_t enabled;
  int32_t vibrate;
  char message[ALARM_TEXT_SIZE];
  char alert[ALARM_TEXT_SIZE];
  AlarmRecord* next;
  // Android 4.4 and later: the alarm is removed, not switched off, once it has rung once.
  int32_t delete_after_use = 0;
};

extern AlarmRecord* g_alarm_list;

// Which tables the alarms came from. Up to Android 4.3 the clock application keeps one
// table, `alarms`; from 4.4 an alarm is a template (`alarm_templates`, read into
// g_alarm_list) and its next firing on an exact local date an instance (`alarm_instances`).
enum AlarmDbKind { ALARM_DB_NONE = 0, ALARM_DB_ALARMS = 1, ALARM_DB_INSTANCES = 2 };
extern int g_alarm_db_kind;
// The phone path of the database the alarms were read from (ALARM_DB_PATH before a read).
extern const char* g_alarm_db_path;

// The clock application's instance states: up to 5 it still rings; 6 missed, 7 dismissed,
// 8 dismissed in advance.
constexpr int32_t INSTANCE_STATE_SNOOZED = 4;
constexpr int32_t INSTANCE_STATE_LAST_PENDING = 5;
constexpr int32_t INSTANCE_STATE_DISMISSED = 7;

struct AlarmInstanceRecord {
  int32_t id;
  int32_t alarm_id;  // the template's id; -1 when the template is gone
  int32_t year;
  int32_t month;  // 0 January ... 11 December
  int32_t day;
  int32_t hour;
  int32_t minute;
  int32_t vibrate;
  int32_t state;
  char message[ALARM_TEXT_SIZE];
  char alert[ALARM_TEXT_SIZE];
  AlarmInstanceRecord* next;
};

extern AlarmInstanceRecord* g_alarm_instance_list;

// Runs the query and appends one record per row: 0 when the output was read to its end,
// -1 when the command could not be started or gave no end within ALARM_DB_READ_LIMIT_US.
int32_t read_alarm_db();
// Appends the record of one output line (a line with too few fields appends nothing): 0, or
// -1 when no memory could be had.
int32_t parse_alarm_row(const char* line);
// One row of the Android 4.4+ query: a template ("T|...") appended to g_alarm_list or an
// instance ("I|...") to g_alarm_instance_list; other lines append nothing. 0, or -1 when no
// memory could be had.
int32_t parse_clock_app_row(const char* line);
// The text of one printed text column: "#" and the hex of its bytes as the query prints it
// (cut at a NUL byte and at ALARM_TEXT_SIZE - 1), "-" for SQL NULL (`is_null` set), any
// other field as it stands. A trailing line end is not part of the text of a coded field.
void alarm_text_field(std::string_view field, char (&out)[ALARM_TEXT_SIZE], bool* is_null);
void free_alarm_list();

// The command lines of the query and of switching alarm `id` off, built from the mapped
// paths; false when a mapped path is not a plain shell word or the line does not fit.
bool alarm_db_query_command(char* out, int size);
bool alarm_db_disable_command(int32_t id, char* out, int size);
// The SQL of the Android 4.4+ query (templates, then instances).
const char* alarm_db_clock_app_sql();

// What the program writes into the database after an alarm rang, as the clock application
// would have written it had it rung the alarm itself.
struct AlarmDbUpdate {
  enum Kind {
    kSwitchOff,        // a one-shot alarm of the `alarms` table: enabled=0
    kDismissInstance,  // the instance dismissed; a one-shot template switched off or removed
    kSnoozeInstance,   // the instance snoozed until the local date and time given
  };
  Kind kind = kSwitchOff;
  int32_t alarm_id = 0;     // the alarm, or the instance's template
  int32_t instance_id = 0;  // the instance (the two instance kinds)
  enum TemplateAction { kKeep, kSwitchOffTemplate, kDeleteTemplate, kSwitchOnTemplate };
  // kDismissInstance: off or deleted; kSnoozeInstance: on again (a snoozed one-shot alarm
  // is still on until it is dismissed).
  TemplateAction template_action = kKeep;
  int32_t year = 0, month = 0, day = 0, hour = 0, minute = 0;  // kSnoozeInstance
};
// The one place where the command lines of the updates are built, for the database at
// g_alarm_db_path; false when a mapped path is not a plain shell word or the line does not
// fit.
bool alarm_db_update_command(const AlarmDbUpdate& update, std::string* out);
