// orvo-demo: the library at work on built-in data, one section per capability.
#include <cstdio>

#include "demo_section.hpp"
#include "orvo/memory.hpp"

int main() {
  std::printf("Orvo demo\n=========\n");
  for (const auto& [key, section] : DemoSection::registry()) {
    std::printf("\n== %s ==\n", section.title.c_str());
    section.body();
  }
  std::printf("\nTracked storage: %d blocks obtained, %d released, %d bytes outstanding\n",
              OrvoallocCalls(), OrvofreeCalls(), OrvomemUsed());
  return OrvomemUsed() == 0 ? 0 : 1;
}
