#include "common/cmdline_engine.h"

#include <getopt.h>
#include <stdlib.h>
#include <string.h>

const char* package_name = nullptr;

namespace {

// Generous bound on a program's table; both programs stay far below it.
constexpr size_t kMaxOptions = 64;

template <typename T>
T* field_at(void* record, size_t offset) {
  return reinterpret_cast<T*>(static_cast<char*>(record) + offset);
}

template <typename T>
const T* field_at(const void* record, size_t offset) {
  return reinterpret_cast<const T*>(static_cast<const char*>(record) + offset);
}

bool takes_argument(cmdline_kind kind) { return kind == ARG_STRING || kind == ARG_INT; }

const char* or_empty(const char* text) { return text ? text : ""; }

// Derives getopt_long's option string and long-option array from the table:
// short letters in table order ("h" and "V" come first because they head
// every table), ":" after those that take an argument; long options in table
// order with the short letter, or 0, as their value.
void build_getopt_tables(const cmdline_program& program, char* optstring, struct option* longopts) {
  size_t n = 0;
  for (size_t i = 0; i < program.option_count; ++i) {
    const cmdline_option& o = program.options[i];
    if (o.short_name != 0) {
      optstring[n++] = o.short_name;
      if (takes_argument(o.kind)) optstring[n++] = ':';
    }
    longopts[i].name = o.long_name;
    longopts[i].has_arg = takes_argument(o.kind) ? required_argument : no_argument;
    longopts[i].flag = nullptr;
    longopts[i].val = o.short_name;
  }
  optstring[n] = '\0';
  longopts[program.option_count] = {nullptr, 0, nullptr, 0};
}

// Finds the table row for a getopt_long result: a short letter, or 0 with the
// index of a long-only option.
const cmdline_option* find_option(const cmdline_program& program, int code,
                                  const struct option* longopts, int index) {
  for (size_t i = 0; i < program.option_count; ++i) {
    const cmdline_option& o = program.options[i];
    if (code != 0 && o.short_name == code) return &o;
    if (code == 0 && o.short_name == 0 && index >= 0 &&
        static_cast<size_t>(index) < program.option_count &&
        strcmp(longopts[index].name, o.long_name) == 0) {
      return &o;
    }
  }
  return nullptr;
}

}  // namespace

void cmdline_params_defaults(cmdline_parser_params* params) {
  if (params == nullptr) return;
  params->override = 0;
  params->initialize = 1;
  params->check_required = 1;
  params->check_ambiguity = 0;
  params->print_errors = 1;
}

void cmdline_record_init(const cmdline_program& program, void* record) {
  for (size_t i = 0; i < program.option_count; ++i) {
    const cmdline_option& o = program.options[i];
    *field_at<uint32_t>(record, o.given_offset) = 0;
    *field_at<const char*>(record, o.help_offset) = program.help_lines[i];
    switch (o.kind) {
      case ARG_NO:
        break;
      case ARG_FLAG:
        *field_at<int32_t>(record, o.value_offset) = o.default_value;
        break;
      case ARG_STRING:
        *field_at<char*>(record, o.value_offset) = nullptr;
        *field_at<char*>(record, o.orig_offset) = nullptr;
        break;
      case ARG_INT:
        *field_at<int32_t>(record, o.value_offset) = o.default_value;
        *field_at<char*>(record, o.orig_offset) = nullptr;
        break;
    }
  }
}

void free_string_field(char** field) {
  if (*field != nullptr) {
    free(*field);
    *field = nullptr;
  }
}

char* duplicate_string(const char* text) {
  if (text == nullptr) return nullptr;
  size_t size = strlen(text) + 1;
  char* copy = static_cast<char*>(malloc(size));
  if (copy != nullptr) memcpy(copy, text, size);
  return copy;
}

void release_settings(const cmdline_program& program, void* record) {
  for (size_t i = 0; i < program.option_count; ++i) {
    const cmdline_option& o = program.options[i];
    if (o.kind == ARG_STRING) free_string_field(field_at<char*>(record, o.value_offset));
    if (o.kind == ARG_STRING || o.kind == ARG_INT) {
      free_string_field(field_at<char*>(record, o.orig_offset));
    }
  }
  for (size_t i = 0; i < program.option_count; ++i) {
    *field_at<uint32_t>(record, program.options[i].given_offset) = 0;
  }
}

void write_option_line(FILE* stream, const char* name, const char* text) {
  if (text != nullptr) {
    fprintf(stream, "%s=\"%s\"\n", name, text);
  } else {
    fprintf(stream, "%s\n", name);
  }
}

int update_option(void* value_field, char** orig_field, uint32_t* target_given,
                  uint32_t* occurrence_given, const char* text, cmdline_kind kind,
                  int check_ambiguity, int override, const char* long_name, char short_name,
                  const char* suffix) {
  if (*occurrence_given != 0 || (check_ambiguity && *target_given != 0)) {
    if (short_name != '-') {
      fprintf(stderr, "%s: `--%s' (`-%c') option given more than once%s\n", or_empty(package_name),
              long_name, short_name, or_empty(suffix));
    } else {
      fprintf(stderr, "%s: `--%s' option given more than once%s\n", or_empty(package_name),
              long_name, or_empty(suffix));
    }
    return 1;
  }
  // The value already in the record wins; this occurrence is not counted.
  if (*target_given != 0 && !override) return 0;

  ++*occurrence_given;
  ++*target_given;

  switch (kind) {
    case ARG_NO:
      return 0;
    case ARG_FLAG: {
      int32_t* flag = static_cast<int32_t*>(value_field);
      *flag = !*flag;
      return 0;
    }
    case ARG_INT: {
      if (text == nullptr) return 0;
      char* end = nullptr;
      long value = strtol(text, &end, 0);
      // Clamp to 32 bits so that 64-bit hosts behave like the 32-bit target.
      if (value > INT32_MAX) value = INT32_MAX;
      if (value < INT32_MIN) value = INT32_MIN;
      *static_cast<int32_t*>(value_field) = static_cast<int32_t>(value);
      if (end == nullptr || *end != '\0') {
        fprintf(stderr, "%s: invalid numeric value: %s\n", or_empty(package_name), text);
        return 1;
      }
      break;
    }
    case ARG_STRING: {
      if (text == nullptr) return 0;
      char** value = static_cast<char**>(value_field);
      free_string_field(value);
      *value = duplicate_string(text);
      break;
    }
  }
  if (text != nullptr && orig_field != nullptr) {
    free_string_field(orig_field);
    *orig_field = duplicate_string(text);
  }
  return 0;
}

int check_required_options(const cmdline_program& program, const void* record,
                           const char* prog_name, const char* suffix) {
  int missing = 0;
  for (size_t i = 0; i < program.option_count; ++i) {
    const cmdline_option& o = program.options[i];
    if (!o.required || *field_at<uint32_t>(record, o.given_offset) != 0) continue;
    if (o.short_name != 0) {
      fprintf(stderr, "%s: '--%s' ('-%c') option required%s\n", or_empty(prog_name), o.long_name,
              o.short_name, or_empty(suffix));
    } else {
      fprintf(stderr, "%s: '--%s' option required%s\n", or_empty(prog_name), o.long_name,
              or_empty(suffix));
    }
    missing = 1;
  }
  return missing;
}

int parse_argument_vector(const cmdline_program& program, int argc, char** argv, void* record,
                          const cmdline_parser_params* params, const char* suffix) {
  if (program.option_count >= kMaxOptions) abort();
  package_name = argv[0];
  const int override = params->override;
  const int check_required = params->check_required;
  const int check_ambiguity = params->check_ambiguity;
  if (params->initialize) cmdline_record_init(program, record);

  // Occurrences seen in this vector alone; the record's counters also hold
  // what earlier parses put there.
  uint32_t occurrences[kMaxOptions] = {};

  char optstring[2 * kMaxOptions + 1];
  struct option longopts[kMaxOptions + 1];
  build_getopt_tables(program, optstring, longopts);

  optarg = nullptr;
  optind = 0;  // restart the scan from scratch, also for a second vector
  opterr = params->print_errors;
  optopt = '?';

  for (;;) {
    int option_index = 0;
    int code = getopt_long(argc, argv, optstring, longopts, &option_index);
    if (code == -1) break;
    if (code == 'h') {
      cmdline_print_help(program);
      return kParseExitSuccess;
    }
    if (code == 'V') {
      cmdline_print_version(program);
      return kParseExitSuccess;
    }
    if (code == '?') return 1;

    const cmdline_option* o = find_option(program, code, longopts, option_index);
    if (o == nullptr) {
      fprintf(stderr, "%s: option unknown: %c%s\n", program.package, code, or_empty(suffix));
      abort();
    }
    size_t row = static_cast<size_t>(o - program.options);
    void* value_field =
        o->value_offset == kNoField ? nullptr : field_at<char>(record, o->value_offset);
    char** orig_field =
        o->orig_offset == kNoField ? nullptr : field_at<char*>(record, o->orig_offset);
    if (update_option(value_field, orig_field, field_at<uint32_t>(record, o->given_offset),
                      &occurrences[row], optarg, o->kind, check_ambiguity, override, o->long_name,
                      o->short_name != 0 ? o->short_name : '-', suffix)) {
      return 1;
    }
  }

  if (check_required && check_required_options(program, record, argv[0], suffix)) return 1;
  return 0;
}

void cmdline_print_version(const cmdline_program& program) {
  printf("%s %s\n", program.package, program.version);
  if (program.versiontext[0] != '\0') printf("\n%s\n", program.versiontext);
}

void cmdline_print_help(const cmdline_program& program) {
  cmdline_print_version(program);
  if (program.purpose[0] != '\0') printf("\n%s\n", program.purpose);
  if (program.usage[0] != '\0') printf("\n%s\n", program.usage);
  printf("\n");
  if (program.description[0] != '\0') printf("%s\n\n", program.description);
  for (const char* const* line = program.help_lines; *line != nullptr; ++line) {
    printf("%s\n", *line);
  }
}

int cmdline_dump(const cmdline_program& program, FILE* stream, const void* record) {
  if (stream == nullptr) {
    fprintf(stderr, "%s: cannot dump options to stream\n", program.package);
    return 1;
  }
  for (size_t i = 0; i < program.option_count; ++i) {
    const cmdline_option& o = program.options[i];
    if (*field_at<uint32_t>(record, o.given_offset) == 0) continue;
    if (o.kind == ARG_NO || o.kind == ARG_FLAG) {
      write_option_line(stream, o.long_name, nullptr);
    } else {
      write_option_line(stream, o.long_name, *field_at<char*>(record, o.orig_offset));
    }
  }
  return 0;
}

int cmdline_file_save(const cmdline_program& program, const char* filename, const void* record) {
  FILE* file = fopen(filename, "we");
  if (file == nullptr) {
    fprintf(stderr, "%s: cannot open file for writing: %s\n", program.package, filename);
    return 1;
  }
  int result = cmdline_dump(program, file, record);
  fclose(file);
  return result;
}
