#include "bench/report.h"

#include <stdio.h>

#include <algorithm>

namespace quorrel_bench {

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  if (values.size() % 2 == 1) return values[mid];
  return (values[mid - 1] + values[mid]) / 2;
}

std::string fixed(double value, int decimals) {
  char text[64];
  snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string ratio_text(double ratio) { return fixed(ratio, 2) + "×"; }

std::string bytes_text(double bytes) {
  if (bytes < 1024) return fixed(bytes, 0) + " B";
  if (bytes < 1024 * 1024) return fixed(bytes / 1024, 1) + " KiB";
  return fixed(bytes / (1024 * 1024), 1) + " MiB";
}

std::string verdict(double ratio, double limit, bool at_most) {
  const bool holds = at_most ? ratio <= limit : ratio >= limit;
  return holds ? "holds" : "missed";
}

std::string render_table(const std::vector<std::string>& heading, const std::vector<Row>& rows) {
  std::string out;
  for (const std::string& line : heading) out += line + "\n";
  out += "\n| figure | measured | median | ratio | target | |\n";
  out += "|---|---|---:|---:|---|---|\n";
  for (const Row& r : rows) {
    out += "| " + r.figure + " | " + r.subject + " | " + r.value + " | " + r.ratio + " | " +
           r.target + " | " + r.verdict + " |\n";
  }
  return out;
}

}  // namespace quorrel_bench
