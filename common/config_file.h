// Configuration-file reader shared by both programs.
//
// A file holds one entry per line: a name (long option name or short
// letter), optionally "=", and a bare or quoted value; "#" starts a comment;
// "include PATH" reads another file in place. The entries become a second
// argument vector ("--name=value" or "-xvalue") that the option engine parses
// into the settings record, with " in configuration file PATH" appended to
// its "given more than once" and "option required" messages. Messages go to
// standard error.
//
// Thread: main thread, start-up only. Not reentrant: the pending argument
// list is module state, empty between calls.
#ifndef QUORREL_COMMON_CONFIG_FILE_H_
#define QUORREL_COMMON_CONFIG_FILE_H_

#include <stdio.h>

#include "common/cmdline_engine.h"

// Longest line, its line end included.
constexpr int kConfigLineMax = 2047;
// Deepest chain of includes; guards against a file that includes itself.
constexpr int kConfigIncludeDepthMax = 16;

// Reads `filename` (and its includes) and parses the entries into `record`.
// Returns 0 on success, 1 after a reader or engine message, or
// kParseExitSuccess when an entry asked for help or version (printed). The
// caller decides about exiting; on 1 it should release the record.
int config_file_parse(const cmdline_program& program, const char* filename, void* record,
                      const cmdline_parser_params* params);

// Same as config_file_parse for an open stream that the caller owns;
// `display_name` is the path shown in messages and in the error suffix.
int config_stream_parse(const cmdline_program& program, FILE* stream, const char* display_name,
                        void* record, const cmdline_parser_params* params);

// Reads entries from `filename` into the pending list, adding one to *count
// per entry. Returns 0, or 1 after printing a message; messages name the
// program that config_file_parse is serving.
int read_config_file(const char* filename, int* count);

// Same, from an open stream that the caller owns; `display_name` is the path
// shown in messages.
int read_config_stream(FILE* stream, const char* display_name, int* count);

// Pointer to the first character of `text` that is neither blank nor tab.
char* strip(char* text);

// Steps over the current entry of `text` (up to a blank, tab or the end; a
// backslash takes the next character into the entry unless it ends the text)
// and returns strip() of what follows.
char* next_entry(char* text);

#endif  // QUORREL_COMMON_CONFIG_FILE_H_
