// Processor faults, and what the error report asks of the system: the module
// of an address, the program's file and the console's code page.
#include <dlfcn.h>
#include <link.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "platform/system.h"
#include "runtime/errors.h"

namespace torvinale {

std::string ProgramFile() {
  std::vector<char> buffer(4096);
  ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n > 0) return std::string(buffer.data(), static_cast<std::size_t>(n));
  return "torvinale";
}

namespace {

#if defined(__linux__)
// A static program has no loader to ask: the images it has loaded tell.
bool FindLoadedImage(const void* address, const char*& name, const void*& base) {
  struct Search {
    std::uintptr_t address;
    const char* name = nullptr;
    std::uintptr_t base = 0;
    bool found = false;
  } search{reinterpret_cast<std::uintptr_t>(address)};
  dl_iterate_phdr(
      [](dl_phdr_info* image, std::size_t, void* data) {
        auto* s = static_cast<Search*>(data);
        for (int i = 0; i < image->dlpi_phnum; ++i) {
          const auto& segment = image->dlpi_phdr[i];
          std::uintptr_t start = image->dlpi_addr + segment.p_vaddr;
          if (segment.p_type == PT_LOAD && s->address >= start &&
              s->address - start < segment.p_memsz) {
            *s = {s->address, image->dlpi_name, image->dlpi_addr, true};
            return 1;
          }
        }
        return 0;
      },
      &search);
  name = search.name;
  base = reinterpret_cast<const void*>(search.base);
  return search.found && search.base != 0;
}
#else
bool FindLoadedImage(const void*, const char*&, const void*&) { return false; }
#endif

}  // namespace

bool FindModule(const void* address, std::string& path, const void*& base) {
  if (address == nullptr) return false;
  const char* name = nullptr;
  Dl_info info;
  if (dladdr(address, &info) != 0 && info.dli_fbase != nullptr) {
    name = info.dli_fname;
    base = info.dli_fbase;
  } else if (!FindLoadedImage(address, name, base)) {
    return false;
  }
  path = (name != nullptr && name[0] != '\0') ? name : ProgramFile();
  return true;
}

void ConvertToConsoleCodePage(std::string&) {}

namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS};

const void* FaultingInstruction(void* context) {
  [[maybe_unused]] auto* uc = static_cast<ucontext_t*>(context);
#if defined(__linux__) && defined(__x86_64__)
  return reinterpret_cast<const void*>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__linux__) && defined(__aarch64__)
  return reinterpret_cast<const void*>(uc->uc_mcontext.pc);
#elif defined(__APPLE__) && defined(__x86_64__)
  return reinterpret_cast<const void*>(uc->uc_mcontext->__ss.__rip);
#elif defined(__APPLE__) && defined(__aarch64__)
  return reinterpret_cast<const void*>(uc->uc_mcontext->__ss.__pc);
#else
  return nullptr;
#endif
}

FaultReporter report_fault = nullptr;
volatile sig_atomic_t handling_fault = 0;

// Built with -fnon-call-exceptions, so the error unwinds from the faulting
// instruction through the signal frame like any other, running the clean-ups.
// A second fault, met while the first unwinds, is reported at once.
void OnFault(int, siginfo_t* info, void* context) {
  const void* address = FaultingInstruction(context);
  char message[64];
  std::snprintf(message, sizeof message, "Access violation at address %016llX",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(info->si_addr)));
  if (handling_fault) report_fault(message, address);
  handling_fault = 1;
  SetRaiseAddress(address);
  throw EAccessViolation(message);
}

}  // namespace

void InstallFaultHandlers(FaultReporter report) {
  report_fault = report;
  // Its own stack, so that a stack overflow is reported too. Static and never
  // filled in advance: its pages take no memory until a fault uses them.
  static char fault_stack[64 * 1024];
  stack_t stack{};
  stack.ss_sp = fault_stack;
  stack.ss_size = sizeof fault_stack;
  sigaltstack(&stack, nullptr);

  struct sigaction action {};
  action.sa_sigaction = OnFault;
  // Left by a throw, the handler never returns: keep the signal unblocked.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  for (int sig : kFaultSignals) sigaction(sig, &action, nullptr);
}

bool LeaveErrorToDebugger() { return false; }

void RemoveFaultHandlers() {
  for (int sig : kFaultSignals) signal(sig, SIG_DFL);
}

}  // namespace torvinale
