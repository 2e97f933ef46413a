// Medians, ratios and the results table of the benchmark harness.
#ifndef QUORREL_BENCH_REPORT_H_
#define QUORREL_BENCH_REPORT_H_

#include <string>
#include <vector>

namespace quorrel_bench {

// The median of `values` (the mean of the middle two for an even count);
// 0 for none. Takes a copy because it sorts.
double median(std::vector<double> values);

// `value` with `decimals` digits after the point.
std::string fixed(double value, int decimals);
// A ratio as "1.23×".
std::string ratio_text(double ratio);
// A byte count in binary units: "812 KiB", "16.0 MiB".
std::string bytes_text(double bytes);

// One line of the results table.
struct Row {
  std::string figure;   // "P1 per message", repeated rows may leave it empty
  std::string subject;  // what was measured
  std::string value;    // the median, with its unit
  std::string ratio;    // against the figure's anchor, or empty
  std::string target;   // the goal this row is held to, or empty
  std::string verdict;  // "holds", "missed", or empty when there is no target
};

// The verdict for `ratio` held to `limit`: at most (`at_most`) or at least.
std::string verdict(double ratio, double limit, bool at_most);

// The rows as a Markdown table, under `heading` lines (each as given).
std::string render_table(const std::vector<std::string>& heading, const std::vector<Row>& rows);

}  // namespace quorrel_bench

#endif  // QUORREL_BENCH_REPORT_H_
