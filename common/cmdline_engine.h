// Table-driven command-line option engine shared by both programs.
//
// Each program describes its options in a cmdline_program table whose
// offsets point into its own settings record (args_info_t); the engine fills
// any such record from an argument vector with getopt_long. Messages go
// straight to standard error and begin with the program name; help and
// version go to standard output.
//
// Thread: main thread, start-up only. Not reentrant: it uses getopt_long's
// process-wide state and `package_name`.
//
// Exits happen at the edge: the engine returns results and the program's
// cmdline_parser_* bindings (cmdline_bindings.h) turn them into exits.
#ifndef QUORREL_COMMON_CMDLINE_ENGINE_H_
#define QUORREL_COMMON_CMDLINE_ENGINE_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// What an option carries.
enum cmdline_kind {
  ARG_NO,      // help and version: handled by the engine, no value field
  ARG_FLAG,    // no argument; toggles an int32_t _flag
  ARG_STRING,  // required argument; owned char* _arg and _orig
  ARG_INT,     // required argument; int32_t _arg, owned char* _orig
};

// Marks a field that an option does not have.
constexpr size_t kNoField = static_cast<size_t>(-1);

// One row of a program's option table.
struct cmdline_option {
  const char* long_name;
  char short_name;  // 0 when the option has no short letter
  cmdline_kind kind;
  int32_t default_value;  // integers and flags
  bool required;
  size_t value_offset;  // _arg or _flag; kNoField for help/version
  size_t orig_offset;   // _orig; kNoField for flags and help/version
  size_t help_offset;   // _help
  size_t given_offset;  // _given
};

// Everything the engine needs to know about one program.
struct cmdline_program {
  const char* package;  // program literal, e.g. "quorreld"
  const char* version;  // QUORREL_VERSION from the build, e.g. "1.0.0"
  const char* purpose;
  const char* usage;
  const char* description;
  const char* versiontext;
  const char* const* help_lines;  // one per option, in table order, then null
  const cmdline_option* options;
  size_t option_count;
};

// Steers one parse.
struct cmdline_parser_params {
  int override;         // an occurrence may replace a value already held
  int initialize;       // reset the record before parsing
  int check_required;   // check required options at the end of the vector
  int check_ambiguity;  // an option already held is an error when repeated
  int print_errors;     // value for opterr
};

// Result of parse_argument_vector besides 0 (success) and 1 (failure): help
// or version was printed and the caller must end the process with status 0.
constexpr int kParseExitSuccess = 2;

// Program name of the parse under way (element 0 of its vector).
extern const char* package_name;

// Stores the default parameters; does nothing for null.
void cmdline_params_defaults(cmdline_parser_params* params);

// Zeroes the counters, nulls the texts, sets integers and flags to their
// defaults and points each _help at its line. Frees nothing.
void cmdline_record_init(const cmdline_program& program, void* record);

// Frees every owned text of `record` and zeroes its counters. Integer values,
// flags and help pointers stay.
void release_settings(const cmdline_program& program, void* record);

// Frees *field when set and nulls it.
void free_string_field(char** field);

// malloc'ed copy of `text`; null for null or when allocation fails.
char* duplicate_string(const char* text);

// Writes `name="text"` or, for a null text, `name`, and a newline.
void write_option_line(FILE* stream, const char* name, const char* text);

// Takes one occurrence of an option into the record. `value_field` points at
// an int32_t (_arg of an integer, _flag) or a char* (_arg of a string);
// `orig_field` is null for flags. `short_name` is '-' for an option without a
// short letter. Returns 0, or 1 after printing a message.
int update_option(void* value_field, char** orig_field, uint32_t* target_given,
                  uint32_t* occurrence_given, const char* text, cmdline_kind kind,
                  int check_ambiguity, int override, const char* long_name, char short_name,
                  const char* suffix);

// Prints one line per required option whose counter is zero, in table order.
// Returns 1 if any was missing, else 0. A null suffix prints as "".
int check_required_options(const cmdline_program& program, const void* record,
                           const char* prog_name, const char* suffix);

// Parses argv[0..argc) into `record`. Returns 0 on success, 1 after printing
// the failure's message, or kParseExitSuccess after printing help or version.
// argv may be permuted by getopt_long. A null suffix means none.
int parse_argument_vector(const cmdline_program& program, int argc, char** argv, void* record,
                          const cmdline_parser_params* params, const char* suffix);

// Help and version output on standard output.
void cmdline_print_version(const cmdline_program& program);
void cmdline_print_help(const cmdline_program& program);

// Writes every given option as a configuration-file line. Returns 0, or 1
// for a null stream.
int cmdline_dump(const cmdline_program& program, FILE* stream, const void* record);

// Dumps into the named file (created or truncated). Returns 0 or 1.
int cmdline_file_save(const cmdline_program& program, const char* filename, const void* record);

#endif  // QUORREL_COMMON_CMDLINE_ENGINE_H_
