// Reading the daemon's diagnostic lines: "<file> +<line> <function>(): <text>".
#ifndef QUORREL_TESTS_SUPPORT_LOG_LINE_H_
#define QUORREL_TESTS_SUPPORT_LOG_LINE_H_

#include <string>
#include <vector>

#include "tests/support/process.h"

namespace quorrel_test {

struct LogLine {
  std::string file;
  unsigned line = 0;
  std::string function;
  std::string text;  // after the prefix, e.g. "ERR: tcp bind error"
  Clock::time_point when;
};

// Splits one line of output into its prefix fields and its text. Returns
// false when the line does not carry the prefix (file name without blanks, a
// blank, "+", decimal digits, a blank, a function name, "(): ").
bool parse_log_line(const std::string& raw, LogLine* out);

// The prefixed lines of `process`'s standard error whose text begins with
// `text_prefix`, in the order written.
std::vector<LogLine> log_lines_starting(const Process& process, const std::string& text_prefix);

// True when `s` is 1 to 10 decimal digits.
bool is_decimal_of_1_to_10_digits(const std::string& s);

}  // namespace quorrel_test

#endif  // QUORREL_TESTS_SUPPORT_LOG_LINE_H_
