// A section of orvo-demo. Each demo_*.cpp defines one:
//     static const DemoSection section("20-solvers", "Dense solvers", &run);
// Sections run in the order of their keys.
#ifndef ORVO_EXAMPLES_DEMO_SECTION_HPP
#define ORVO_EXAMPLES_DEMO_SECTION_HPP

#include <functional>
#include <map>
#include <string>

struct DemoSection {
  using Body = void (*)();
  DemoSection(const std::string& key, const std::string& title, Body body) {
    registry().emplace(key, Entry{title, body});
  }
  struct Entry {
    std::string title;
    Body body;
  };
  static std::map<std::string, Entry>& registry() {
    static std::map<std::string, Entry> sections;
    return sections;
  }
};

#endif
