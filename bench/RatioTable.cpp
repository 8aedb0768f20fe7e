#include "bench/RatioTable.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <sstream>

namespace bench {
namespace {

std::vector<Row>& Rows() {
  static std::vector<Row>* rows = new std::vector<Row>;
  return *rows;
}

bool IsDecoration(const std::string& part) {
  static const char* const kPrefixes[] = {
      "repeats:", "min_time:", "iterations:", "threads:", "real_time", "manual_time", "process_time"};
  for (const char* prefix : kPrefixes) {
    if (part.compare(0, std::char_traits<char>::length(prefix), prefix) == 0) return true;
  }
  return false;
}

struct Lookup {
  const std::map<std::string, std::vector<Sample>>& samples;

  // Fastest repetition's time per iteration; negative with `problem` set
  // when the benchmark did not run or failed.
  double Seconds(const std::string& name, Clock clock, std::string* problem) const {
    auto it = samples.find(name);
    if (it == samples.end() || it->second.empty()) {
      *problem = "not run: " + name;
      return -1;
    }
    double best = std::numeric_limits<double>::infinity();
    for (const Sample& sample : it->second) {
      if (!sample.error.empty()) {
        *problem = name + ": " + sample.error;
        return -1;
      }
      best = std::min(best, clock == Clock::kCpu ? sample.cpuSeconds : sample.realSeconds);
    }
    return best;
  }

  double CounterMax(const std::string& name, const std::string& counter, std::string* problem) const {
    return CounterExtreme(name, counter, problem, true);
  }

  double CounterMin(const std::string& name, const std::string& counter, std::string* problem) const {
    return CounterExtreme(name, counter, problem, false);
  }

  double CounterExtreme(const std::string& name, const std::string& counter, std::string* problem,
                        bool largest) const {
    auto it = samples.find(name);
    if (it == samples.end() || it->second.empty()) {
      *problem = "not run: " + name;
      return -1;
    }
    double extreme =
        largest ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    for (const Sample& sample : it->second) {
      if (!sample.error.empty()) {
        *problem = name + ": " + sample.error;
        return -1;
      }
      auto value = sample.counters.find(counter);
      if (value == sample.counters.end()) {
        *problem = name + ": no counter " + counter;
        return -1;
      }
      extreme = largest ? std::max(extreme, value->second) : std::min(extreme, value->second);
    }
    return extreme;
  }
};

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// Seconds as a short human figure.
std::string Duration(double seconds) {
  if (seconds < 1e-3) return Format("%.1f us", seconds * 1e6);
  if (seconds < 1) return Format("%.2f ms", seconds * 1e3);
  return Format("%.2f s", seconds);
}

struct Line {
  std::string label, detail, goal, measured, verdict;
};

}  // namespace

void AddRow(Row row) { Rows().push_back(std::move(row)); }

const std::vector<Row>& RegisteredRows() { return Rows(); }

std::string PlainName(const std::string& runName) {
  std::string plain;
  std::size_t begin = 0;
  while (begin <= runName.size()) {
    std::size_t slash = runName.find('/', begin);
    if (slash == std::string::npos) slash = runName.size();
    const std::string part = runName.substr(begin, slash - begin);
    if (!IsDecoration(part)) plain += (plain.empty() ? "" : "/") + part;
    begin = slash + 1;
  }
  return plain;
}

bool CollectingReporter::ReportContext(const Context& context) {
  return quiet_ ? true : ConsoleReporter::ReportContext(context);
}

void CollectingReporter::ReportRuns(const std::vector<Run>& runs) {
  for (const Run& run : runs) {
    if (run.run_type != Run::RT_Iteration) continue;
    Sample sample;
    const double iterations = run.iterations > 0 ? static_cast<double>(run.iterations) : 1.0;
    sample.cpuSeconds = run.cpu_accumulated_time / iterations;
    sample.realSeconds = run.real_accumulated_time / iterations;
    for (const auto& counter : run.counters) sample.counters[counter.first] = counter.second.value;
    if (run.error_occurred) sample.error = run.error_message.empty() ? "error" : run.error_message;
    samples_[PlainName(run.benchmark_name())].push_back(std::move(sample));
  }
  if (!quiet_) ConsoleReporter::ReportRuns(runs);
}

Verdicts PrintRatioTable(const std::vector<Row>& rows,
                         const std::map<std::string, std::vector<Sample>>& samples, std::ostream& out) {
  const Lookup lookup{samples};
  Verdicts verdicts;
  std::vector<Line> lines;
  for (const Row& row : rows) {
    Line line;
    line.label = row.label;
    std::string problem;
    double measured = -1;
    bool pass = false;
    switch (row.kind) {
      case RowKind::kRatioAtMost: {
        const double subject = lookup.Seconds(row.subject, row.clock, &problem);
        const double floor = lookup.Seconds(row.floor, row.clock, &problem);
        double allowance = 0;
        if (!row.allowance.empty()) allowance = lookup.Seconds(row.allowance, row.clock, &problem);
        if (problem.empty() && floor <= 0) problem = "no time measured for the floor";
        if (!problem.empty()) break;
        measured = (subject - allowance) / floor;
        line.detail = Duration(subject) + " vs " + Duration(floor);
        if (!row.allowance.empty()) line.detail += " (less " + Duration(allowance) + ")";
        line.measured = Format("%.3fx", measured);
        line.goal = row.goal > 0 ? Format("<= %.2fx", row.goal) : "-";
        pass = measured <= row.goal;
        break;
      }
      case RowKind::kThroughputAtLeast: {
        const double seconds = row.counter.empty() ? lookup.Seconds(row.subject, row.clock, &problem)
                                                   : lookup.CounterMin(row.subject, row.counter, &problem);
        const double bytes = lookup.CounterMax(row.subject, "bytes", &problem);
        if (!problem.empty() || seconds <= 0) break;
        measured = bytes / seconds / 1e6;
        line.detail = Format("%.0f bytes", bytes) + " in " + Duration(seconds);
        line.measured = Format("%.0f MB/s", measured);
        line.goal = Format(">= %.0f MB/s", row.goal);
        pass = measured >= row.goal;
        break;
      }
      case RowKind::kCounterAtMost: {
        measured = lookup.CounterMax(row.subject, row.counter, &problem);
        if (!problem.empty()) break;
        line.measured = Format("%.2fx", measured);
        line.goal = row.goal > 0 ? Format("<= %.2fx", row.goal) : "-";
        pass = measured <= row.goal;
        break;
      }
      case RowKind::kCounterRatioAtMost: {
        const double subject = lookup.CounterMin(row.subject, row.counter, &problem);
        const double floor = lookup.CounterMin(row.subject, row.floorCounter, &problem);
        double allowance = 0;
        if (!row.allowanceCounter.empty()) {
          allowance = lookup.CounterMin(row.subject, row.allowanceCounter, &problem);
        }
        if (problem.empty() && floor <= 0) problem = "no time measured for the floor";
        if (!problem.empty()) break;
        measured = (subject - allowance) / floor;
        line.detail = Duration(subject) + " vs " + Duration(floor);
        if (!row.allowanceCounter.empty()) line.detail += " (less " + Duration(allowance) + ")";
        line.measured = Format("%.3fx", measured);
        line.goal = row.goal > 0 ? Format("<= %.2fx", row.goal) : "-";
        pass = measured <= row.goal;
        break;
      }
      case RowKind::kMebibytesBelow: {
        const double bytes = lookup.CounterMax(row.subject, row.counter, &problem);
        if (!problem.empty()) break;
        measured = bytes / (1024.0 * 1024.0);
        line.measured = Format("%.1f MiB", measured);
        line.goal = row.goal > 0 ? Format("< %.0f MiB", row.goal) : "-";
        pass = measured < row.goal;
        break;
      }
      case RowKind::kRateAtLeast: {
        const double seconds = lookup.CounterMin(row.subject, row.counter, &problem);
        if (problem.empty() && seconds <= 0) problem = "no time measured";
        if (!problem.empty()) break;
        measured = 1 / seconds;
        line.detail = Duration(seconds) + " each";
        line.measured = Format("%.0f /s", measured);
        line.goal = row.goal > 0 ? Format(">= %.0f /s", row.goal) : "-";
        pass = measured >= row.goal;
        break;
      }
      case RowKind::kTimeOnly: {
        measured = lookup.Seconds(row.subject, row.clock, &problem);
        if (!problem.empty()) break;
        line.measured = Duration(measured);
        line.goal = "-";
        break;
      }
    }
    if (!problem.empty() && problem.find(std::string(": ") + kSkippedPrefix) != std::string::npos) {
      line.measured = "-";
      line.goal = line.goal.empty() ? "-" : line.goal;
      line.verdict = "skip";
      line.detail = problem.substr(problem.find(kSkippedPrefix));
      ++verdicts.skipped;
    } else if (!problem.empty()) {
      line.measured = "-";
      line.goal = line.goal.empty() ? "-" : line.goal;
      line.verdict = "FAILED";
      line.detail = problem;
      ++verdicts.failed;
    } else if (line.goal == "-") {
      line.verdict = "info";
    } else if (pass) {
      line.verdict = "pass";
      ++verdicts.passed;
    } else {
      line.verdict = "MISS";
      ++verdicts.missed;
    }
    lines.push_back(line);
  }

  std::size_t labelWidth = 11, detailWidth = 6, goalWidth = 4, measuredWidth = 8;
  for (const Line& line : lines) {
    labelWidth = std::max(labelWidth, line.label.size());
    detailWidth = std::max(detailWidth, line.detail.size());
    goalWidth = std::max(goalWidth, line.goal.size());
    measuredWidth = std::max(measuredWidth, line.measured.size());
  }
  auto pad = [](const std::string& text, std::size_t width) {
    return text + std::string(width > text.size() ? width - text.size() : 0, ' ');
  };
  std::ostringstream table;
  table << pad("measurement", labelWidth) << "  " << pad("goal", goalWidth) << "  "
        << pad("measured", measuredWidth) << "  " << pad("result", 6) << "  "
        << "times\n";
  table << std::string(labelWidth + goalWidth + measuredWidth + detailWidth + 16, '-') << "\n";
  for (const Line& line : lines) {
    table << pad(line.label, labelWidth) << "  " << pad(line.goal, goalWidth) << "  "
          << pad(line.measured, measuredWidth) << "  " << pad(line.verdict, 6) << "  " << line.detail << "\n";
  }
  table << "\n"
        << verdicts.passed << " pass, " << verdicts.missed << " miss, " << verdicts.failed
        << " failed measurements";
  if (verdicts.skipped > 0) table << ", " << verdicts.skipped << " skipped";
  table << "\n";
  out << table.str();
  return verdicts;
}

}  // namespace bench
