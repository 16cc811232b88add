// A small SVG report writer for orvo-demo: line charts laid out on one page.
//
// Each chart has a title, axis labels, an optional logarithmic y axis and any number of named
// series of (x, y) points drawn as polylines (or markers). Points that cannot be drawn (NaN or
// infinite coordinates, or y <= 0 on a log axis) are left out and break the line there. Every
// text is escaped, so titles and names may hold any characters. The output is a standalone,
// well-formed SVG 1.1 document that any browser shows.
#ifndef ORVO_EXAMPLES_REPORT_SVG_REPORT_HPP
#define ORVO_EXAMPLES_REPORT_SVG_REPORT_HPP

#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace orvo_report {

struct Series {
  std::string name;
  std::vector<std::pair<double, double>> points;
  bool markers = false;  // draw each point as a dot instead of joining them
};

struct Chart {
  std::string title, xLabel, yLabel;
  bool logY = false;
  std::vector<Series> series;
};

// Text with the five XML special characters replaced by their entities.
std::string escapeXml(const std::string& text);

// Writes the charts, two per row, under a page title.
void writeSvgReport(std::ostream& out, const std::string& pageTitle,
                    const std::vector<Chart>& charts);

// The charts the demo sections contribute, in the order they were added.
std::vector<Chart>& demoCharts();

// Adds a series to the demo chart of that title, making the chart (with these labels) first if
// there is none yet; several sections can so share one chart.
void addDemoSeries(const std::string& chartTitle, const std::string& xLabel,
                   const std::string& yLabel, bool logY, Series series);

// The chart the nonlinear solvers share: residual (or misfit) against iteration, log scale.
constexpr const char* kConvergenceChart = "Convergence of the nonlinear solvers";

}  // namespace orvo_report

#endif
