// A launcher stand-in for the end-to-end tests: it raises, under the real
// top-level handler, the errors that the launcher itself cannot be made to
// raise from outside. An INI file is open at the time, so the clean-up must
// run before the report.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/ini_file.h"
#include "platform/system.h"
#include "runtime/report.h"

namespace {

const char* mode = "";

// Each call holds a frame the next one cannot share, until the stack runs out.
std::size_t Deeper(std::size_t depth) {
  volatile char frame[1024];
  frame[depth % sizeof frame] = 1;
  if (depth == ~std::size_t{0}) return 0;
  return Deeper(depth + 1) + frame[0];
}

struct CleanUp {
  ~CleanUp() { torvinale::StandardOutputStream().WriteLine("clean-up ran"); }
};

void MainLine() {
  torvinale::TIniFile ini(torvinale::RealProfile(), "cleanup.ini");
  CleanUp clean_up;
  torvinale::TextOutput& out = torvinale::StandardOutputStream();
  out.WriteLine("before the error");
  if (std::strcmp(mode, "fault") == 0) {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
  } else if (std::strcmp(mode, "memory") == 0) {
    std::vector<std::string> hoard;
    for (;;) hoard.emplace_back(std::size_t{1} << 30, 'x');
  } else if (std::strcmp(mode, "memory held") == 0) {
    // Never given back, so the report finds none either. Touched, so that it
    // counts where only resident memory is limited; 4 GiB at most, should no
    // limit have been set.
    std::size_t taken = 0;
    for (std::size_t size = std::size_t{1} << 26; size > 0 && taken < std::size_t{1} << 32;) {
      if (void* block = std::malloc(size)) {
        std::memset(block, 'x', size);
        taken += size;
      } else {
        size /= 2;
      }
    }
    out.WriteLine(std::string(64, 'x'));  // raises while the limit holds
  } else if (std::strcmp(mode, "stack") == 0) {
    Deeper(0);
  } else if (std::strcmp(mode, "foreign") == 0) {
    throw 42;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) mode = argv[1];
  torvinale::InstallErrorLayer();
  torvinale::RunUnderTopLevelHandler(MainLine);
}
