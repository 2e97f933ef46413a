// One row per option: how a program's option list becomes its settings
// record, its option table and its help text.
//
// A program lists its options once, in table order, as an X-macro whose rows
// read
//   OPTION(name, letter, kind, default_value, required, help_line)
// with `name` the long option (also the stem of its record fields), `letter`
// its short letter or 0, `kind` one of the cmdline_kind values, and
// `help_line` the line --help prints for it. The program's settings header
// expands the list with CMDLINE_RECORD_FIELDS and then CMDLINE_RECORD_GIVEN
// inside `struct args_info_t`; cmdline_bindings.inc expands it into the table,
// the help lines and one static_assert per row that its help line describes
// it (cmdline_help_line_fits). Adding an option is adding one row.
#ifndef QUORREL_COMMON_CMDLINE_ROWS_H_
#define QUORREL_COMMON_CMDLINE_ROWS_H_

#include <stddef.h>
#include <stdint.h>

#include "common/cmdline_engine.h"

// The record's fields of one option, in the engine's layout: the value
// (_arg, or _flag), the text it was given as (_orig), the help line (_help).
#define CMDLINE_RECORD_FIELDS(name, letter, kind, default_value, required, help) \
  CMDLINE_FIELDS_##kind(name)
#define CMDLINE_FIELDS_ARG_NO(name) const char* name##_help;
#define CMDLINE_FIELDS_ARG_FLAG(name) \
  int32_t name##_flag;                \
  const char* name##_help;
#define CMDLINE_FIELDS_ARG_STRING(name) \
  char* name##_arg;                     \
  char* name##_orig;                    \
  const char* name##_help;
#define CMDLINE_FIELDS_ARG_INT(name) \
  int32_t name##_arg;                \
  char* name##_orig;                 \
  const char* name##_help;

// The occurrence counter of one option; all of them follow all the values.
#define CMDLINE_RECORD_GIVEN(name, letter, kind, default_value, required, help) \
  uint32_t name##_given;

// The table row of one option, with the offsets of its fields in args_info_t.
#define CMDLINE_TABLE_ROW(name, letter, kind, default_value, required, help) \
  {#name,                                                                    \
   letter,                                                                   \
   kind,                                                                     \
   default_value,                                                            \
   required,                                                                 \
   CMDLINE_VALUE_OFFSET_##kind(name),                                        \
   CMDLINE_ORIG_OFFSET_##kind(name),                                         \
   offsetof(args_info_t, name##_help),                                       \
   offsetof(args_info_t, name##_given)},
#define CMDLINE_VALUE_OFFSET_ARG_NO(name) kNoField
#define CMDLINE_VALUE_OFFSET_ARG_FLAG(name) offsetof(args_info_t, name##_flag)
#define CMDLINE_VALUE_OFFSET_ARG_STRING(name) offsetof(args_info_t, name##_arg)
#define CMDLINE_VALUE_OFFSET_ARG_INT(name) offsetof(args_info_t, name##_arg)
#define CMDLINE_ORIG_OFFSET_ARG_NO(name) kNoField
#define CMDLINE_ORIG_OFFSET_ARG_FLAG(name) kNoField
#define CMDLINE_ORIG_OFFSET_ARG_STRING(name) offsetof(args_info_t, name##_orig)
#define CMDLINE_ORIG_OFFSET_ARG_INT(name) offsetof(args_info_t, name##_orig)

// The help line of one option, as an element of the help array.
#define CMDLINE_HELP_LINE(name, letter, kind, default_value, required, help) help,

// Fails the build when a row's help line does not describe the row.
#define CMDLINE_CHECK_HELP_LINE(name, letter, kind, default_value, required, help) \
  static_assert(cmdline_help_line_fits(help, #name, letter, kind, default_value),  \
                "the help line of --" #name " does not match its row");

namespace cmdline_rows_detail {

// Length of `s` up to its NUL.
constexpr size_t length(const char* s) {
  size_t n = 0;
  while (s[n] != '\0') ++n;
  return n;
}

// True when `text` at `*at` continues with `word`; then moves `*at` past it.
constexpr bool take(const char* text, size_t* at, const char* word) {
  for (size_t i = 0; word[i] != '\0'; ++i) {
    if (text[*at + i] != word[i]) return false;
  }
  *at += length(word);
  return true;
}

// True when `text` ends with `word`.
constexpr bool ends_with(const char* text, const char* word) {
  const size_t n = length(text);
  const size_t w = length(word);
  if (w > n) return false;
  size_t at = n - w;
  return take(text, &at, word);
}

// True when `text` contains `word`.
constexpr bool contains(const char* text, const char* word) {
  for (size_t at = 0; text[at] != '\0'; ++at) {
    size_t probe = at;
    if (take(text, &probe, word)) return true;
  }
  return false;
}

// True when `text` ends with "  (default=`<value>')", the value in decimal.
constexpr bool ends_with_default(const char* text, int32_t value) {
  char digits[16] = {};
  size_t n = 0;
  int64_t rest = value < 0 ? -static_cast<int64_t>(value) : value;
  do {
    digits[n++] = static_cast<char>('0' + rest % 10);
    rest /= 10;
  } while (rest != 0);
  if (value < 0) digits[n++] = '-';
  char tail[40] = {};
  size_t t = 0;
  for (const char* p = "  (default=`"; *p != '\0'; ++p) tail[t++] = *p;
  while (n > 0) tail[t++] = digits[--n];
  tail[t++] = '\'';
  tail[t++] = ')';
  return ends_with(text, tail);
}

}  // namespace cmdline_rows_detail

// True when `help` is the help line of the row: "  -x, --name" (or
// "      --name" without a letter), "=STRING" or "=INT" for the kinds that
// take an argument, a blank, the description, and the default where the
// kind shows one: "  (default=`N')" for integers, "  (default=on)" or
// "  (default=off)" for flags, and for a string "  (default=`TEXT')" or
// nothing.
constexpr bool cmdline_help_line_fits(const char* help, const char* name, char letter,
                                      cmdline_kind kind, int32_t default_value) {
  using namespace cmdline_rows_detail;
  size_t at = 0;
  if (letter != 0) {
    const char head[] = {' ', ' ', '-', letter, ',', ' ', '-', '-', '\0'};
    if (!take(help, &at, head)) return false;
  } else if (!take(help, &at, "      --")) {
    return false;
  }
  if (!take(help, &at, name)) return false;
  if (kind == ARG_STRING && !take(help, &at, "=STRING")) return false;
  if (kind == ARG_INT && !take(help, &at, "=INT")) return false;
  if (help[at] != ' ') return false;
  switch (kind) {
    case ARG_INT:
      return ends_with_default(help, default_value);
    case ARG_FLAG:
      return ends_with(help, default_value != 0 ? "  (default=on)" : "  (default=off)");
    case ARG_NO:
      return !contains(help, "(default=");
    case ARG_STRING:
      // A string shows its default only as text; the code that reads the
      // setting applies it when the option is not given.
      return !contains(help, "(default=") ||
             (contains(help, "  (default=`") && ends_with(help, "')"));
  }
  return false;
}

#endif  // QUORREL_COMMON_CMDLINE_ROWS_H_
