// Torvinale: opens a fixed list of entries through the shell after a visible
// countdown. It takes no arguments and never waits for the user.
#include "launcher/run.h"
#include "platform/system.h"
#include "runtime/report.h"

namespace torvinale {
namespace {

void MainLine() {
  PrepareProcess();
  TextOutput& out = StandardOutputStream();
  Services services{RealFileSystem(), RealProfile(),    RealShell(),
                    RealClock(),      RealConsole(out), out};
  RunLauncher(services);
}

}  // namespace

[[noreturn]] void Run() {
  InstallErrorLayer();
  RunUnderTopLevelHandler(MainLine);
}

}  // namespace torvinale

int main() { torvinale::Run(); }
