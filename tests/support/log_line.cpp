#include "tests/support/log_line.h"

#include <cctype>

namespace quorrel_test {

bool parse_log_line(const std::string& raw, LogLine* out) {
  const size_t file_end = raw.find(' ');
  if (file_end == std::string::npos || file_end == 0) return false;
  size_t pos = file_end + 1;
  if (pos >= raw.size() || raw[pos] != '+') return false;
  ++pos;
  const size_t digits_begin = pos;
  unsigned line = 0;
  while (pos < raw.size() && std::isdigit(static_cast<unsigned char>(raw[pos]))) {
    line = line * 10 + static_cast<unsigned>(raw[pos] - '0');
    ++pos;
  }
  if (pos == digits_begin || pos >= raw.size() || raw[pos] != ' ') return false;
  ++pos;
  const size_t func_end = raw.find("(): ", pos);
  if (func_end == std::string::npos || func_end == pos || raw.find(' ', pos) < func_end) {
    return false;
  }
  out->file = raw.substr(0, file_end);
  out->line = line;
  out->function = raw.substr(pos, func_end - pos);
  out->text = raw.substr(func_end + 4);
  return true;
}

std::vector<LogLine> log_lines_starting(const Process& process, const std::string& text_prefix) {
  std::vector<LogLine> found;
  for (const OutputLine& raw : process.stderr_lines()) {
    LogLine line;
    if (parse_log_line(raw.text, &line) &&
        line.text.compare(0, text_prefix.size(), text_prefix) == 0) {
      line.when = raw.when;
      found.push_back(line);
    }
  }
  return found;
}

bool is_decimal_of_1_to_10_digits(const std::string& s) {
  if (s.empty() || s.size() > 10) return false;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

}  // namespace quorrel_test
