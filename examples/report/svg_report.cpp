// Layout and drawing of the SVG report: axes with rounded ticks, polylines per series, legends.
#include "svg_report.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace orvo_report {

namespace {

constexpr double kChartWidth = 560, kChartHeight = 360;
constexpr double kMarginLeft = 70, kMarginRight = 20, kMarginTop = 36, kMarginBottom = 48;
constexpr double kPageTitleHeight = 40;
constexpr int kChartsPerRow = 2;
constexpr int kTicks = 5;
const char* const kPalette[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd",
                                "#ff7f0e", "#8c564b", "#17becf", "#7f7f7f"};

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", v);
  return text;
}

std::string coordinate(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", v);
  return text;
}

// Maps data values to the plot area of one chart; y may be logarithmic.
struct Axes {
  double x0, y0, width, height;   // plot area on the page
  double xMin, xMax, yMin, yMax;  // data range (log10 of y when logY)
  bool logY;

  bool drawable(double x, double y) const {
    return std::isfinite(x) && std::isfinite(y) && (!logY || y > 0.0);
  }
  double px(double x) const { return x0 + (x - xMin) / (xMax - xMin) * width; }
  double py(double y) const {
    const double v = logY ? std::log10(y) : y;
    return y0 + height - (v - yMin) / (yMax - yMin) * height;
  }
};

Axes fitAxes(const Chart& chart, double left, double top) {
  Axes a{left + kMarginLeft,
         top + kMarginTop,
         kChartWidth - kMarginLeft - kMarginRight,
         kChartHeight - kMarginTop - kMarginBottom,
         std::numeric_limits<double>::infinity(),
         -std::numeric_limits<double>::infinity(),
         std::numeric_limits<double>::infinity(),
         -std::numeric_limits<double>::infinity(),
         chart.logY};
  for (const Series& s : chart.series)
    for (const auto& [x, y] : s.points) {
      if (!a.drawable(x, y)) continue;
      const double v = chart.logY ? std::log10(y) : y;
      a.xMin = std::min(a.xMin, x), a.xMax = std::max(a.xMax, x);
      a.yMin = std::min(a.yMin, v), a.yMax = std::max(a.yMax, v);
    }
  if (!(a.xMin <= a.xMax)) a.xMin = 0.0, a.xMax = 1.0;  // nothing drawable
  if (!(a.yMin <= a.yMax)) a.yMin = 0.0, a.yMax = 1.0;
  // A degenerate range is widened so that the mapping never divides by zero.
  if (a.xMax - a.xMin <= 0.0) a.xMin -= 0.5, a.xMax += 0.5;
  if (a.yMax - a.yMin <= 0.0) a.yMin -= 0.5, a.yMax += 0.5;
  return a;
}

void drawFrame(std::ostream& out, const Chart& chart, const Axes& a, double left, double top) {
  out << "<g font-family=\"sans-serif\" font-size=\"11\">\n";
  out << "<text x=\"" << coordinate(left + kChartWidth / 2) << "\" y=\"" << coordinate(top + 20)
      << "\" text-anchor=\"middle\" font-size=\"14\">" << escapeXml(chart.title) << "</text>\n";
  out << "<rect x=\"" << coordinate(a.x0) << "\" y=\"" << coordinate(a.y0) << "\" width=\""
      << coordinate(a.width) << "\" height=\"" << coordinate(a.height)
      << "\" fill=\"none\" stroke=\"#444\"/>\n";
  for (int t = 0; t <= kTicks; ++t) {
    const double fx = a.xMin + (a.xMax - a.xMin) * t / kTicks;
    const double fy = a.yMin + (a.yMax - a.yMin) * t / kTicks;
    const double x = a.x0 + a.width * t / kTicks, y = a.y0 + a.height - a.height * t / kTicks;
    out << "<text x=\"" << coordinate(x) << "\" y=\"" << coordinate(a.y0 + a.height + 14)
        << "\" text-anchor=\"middle\">" << number(fx) << "</text>\n";
    out << "<text x=\"" << coordinate(a.x0 - 6) << "\" y=\"" << coordinate(y + 4)
        << "\" text-anchor=\"end\">" << number(a.logY ? std::pow(10.0, fy) : fy) << "</text>\n";
    out << "<line x1=\"" << coordinate(a.x0) << "\" y1=\"" << coordinate(y) << "\" x2=\""
        << coordinate(a.x0 + a.width) << "\" y2=\"" << coordinate(y) << "\" stroke=\"#ddd\"/>\n";
  }
  out << "<text x=\"" << coordinate(a.x0 + a.width / 2) << "\" y=\""
      << coordinate(top + kChartHeight - 12) << "\" text-anchor=\"middle\">"
      << escapeXml(chart.xLabel) << "</text>\n";
  out << "<text transform=\"translate(" << coordinate(left + 14) << ","
      << coordinate(a.y0 + a.height / 2) << ") rotate(-90)\" text-anchor=\"middle\">"
      << escapeXml(chart.yLabel + (chart.logY ? " (log scale)" : "")) << "</text>\n";
  out << "</g>\n";
}

void drawSeries(std::ostream& out, const Series& s, const Axes& a, const char* colour) {
  if (s.markers) {
    for (const auto& [x, y] : s.points)
      if (a.drawable(x, y))
        out << "<circle cx=\"" << coordinate(a.px(x)) << "\" cy=\"" << coordinate(a.py(y))
            << "\" r=\"2.5\" fill=\"" << colour << "\"/>\n";
    return;
  }
  // One polyline per run of drawable points.
  bool open = false;
  for (const auto& [x, y] : s.points) {
    if (!a.drawable(x, y)) {
      if (open) out << "\"/>\n";
      open = false;
      continue;
    }
    if (!open)
      out << "<polyline fill=\"none\" stroke-width=\"1.6\" stroke=\"" << colour << "\" points=\"";
    else
      out << ' ';
    out << coordinate(a.px(x)) << ',' << coordinate(a.py(y));
    open = true;
  }
  if (open) out << "\"/>\n";
}

void drawLegend(std::ostream& out, const Chart& chart, const Axes& a) {
  double y = a.y0 + 14;
  int k = 0;
  for (const Series& s : chart.series) {
    const char* colour = kPalette[k++ % std::size(kPalette)];
    out << "<rect x=\"" << coordinate(a.x0 + a.width - 150) << "\" y=\"" << coordinate(y - 8)
        << "\" width=\"10\" height=\"10\" fill=\"" << colour << "\"/>\n";
    out << "<text x=\"" << coordinate(a.x0 + a.width - 135) << "\" y=\"" << coordinate(y + 1)
        << "\" font-family=\"sans-serif\" font-size=\"11\">" << escapeXml(s.name) << "</text>\n";
    y += 15;
  }
}

}  // namespace

std::string escapeXml(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '&':
        escaped += "&amp;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&apos;";
        break;
      default:
        // Control characters other than tab and line breaks are not allowed in XML 1.0.
        if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n' || c == '\r')
          escaped += c;
    }
  }
  return escaped;
}

void writeSvgReport(std::ostream& out, const std::string& pageTitle,
                    const std::vector<Chart>& charts) {
  const int rows = (static_cast<int>(charts.size()) + kChartsPerRow - 1) / kChartsPerRow;
  const double width = kChartWidth * kChartsPerRow;
  const double height = kPageTitleHeight + kChartHeight * std::max(rows, 1);
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" << coordinate(width)
      << "\" height=\"" << coordinate(height) << "\" viewBox=\"0 0 " << coordinate(width) << ' '
      << coordinate(height) << "\">\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      << "<text x=\"" << coordinate(width / 2)
      << "\" y=\"26\" text-anchor=\"middle\" font-family=\"sans-serif\" font-size=\"18\">"
      << escapeXml(pageTitle) << "</text>\n";
  for (std::size_t c = 0; c < charts.size(); ++c) {
    const double left = kChartWidth * (c % kChartsPerRow);
    const double top = kPageTitleHeight + kChartHeight * (c / kChartsPerRow);
    const Axes axes = fitAxes(charts[c], left, top);
    drawFrame(out, charts[c], axes, left, top);
    int k = 0;
    for (const Series& s : charts[c].series)
      drawSeries(out, s, axes, kPalette[k++ % std::size(kPalette)]);
    drawLegend(out, charts[c], axes);
  }
  out << "</svg>\n";
}

std::vector<Chart>& demoCharts() {
  static std::vector<Chart> charts;
  return charts;
}

void addDemoSeries(const std::string& chartTitle, const std::string& xLabel,
                   const std::string& yLabel, bool logY, Series series) {
  auto& charts = demoCharts();
  for (Chart& chart : charts)
    if (chart.title == chartTitle) {
      chart.series.push_back(std::move(series));
      return;
    }
  charts.push_back(Chart{chartTitle, xLabel, yLabel, logY, {std::move(series)}});
}

}  // namespace orvo_report
