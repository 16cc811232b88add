// orvo-demo: the library at work on built-in data, one section per capability, each timed; the
// charts the sections collect are written to an SVG report at the end.
//
// Usage: orvo-demo [report.svg]   (default: orvo-demo-report.svg in the current directory)
#include <chrono>
#include <cstdio>
#include <fstream>

#include "demo_section.hpp"
#include "orvo/memory.hpp"
#include "report/svg_report.hpp"

int main(int argc, char** argv) {
  const char* reportPath = argc > 1 ? argv[1] : "orvo-demo-report.svg";
  std::printf("Orvo demo\n=========\n");
  const auto start = std::chrono::steady_clock::now();
  for (const auto& [key, section] : DemoSection::registry()) {
    std::printf("\n== %s ==\n", section.title.c_str());
    const auto sectionStart = std::chrono::steady_clock::now();
    section.body();
    std::printf(
        "   (%.2f s)\n",
        std::chrono::duration<double>(std::chrono::steady_clock::now() - sectionStart).count());
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("\nAll sections: %.2f s\n", seconds);

  auto& charts = orvo_report::demoCharts();
  std::ofstream report(reportPath);
  orvo_report::writeSvgReport(report, "Orvo demo report", charts);
  report.close();
  if (report)
    std::printf("Report with %zu charts written to %s\n", charts.size(), reportPath);
  else
    std::printf("Could not write the report to %s\n", reportPath);
  charts.clear();

  std::printf("Tracked storage: %d blocks obtained, %d released, %d bytes outstanding\n",
              OrvoallocCalls(), OrvofreeCalls(), OrvomemUsed());
  return OrvomemUsed() == 0 ? 0 : 1;
}
