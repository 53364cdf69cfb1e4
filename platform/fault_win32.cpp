// Processor faults, and what the error report asks of the system: the module
// of an address, the program's file and the console's code page.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/system.h"
#include "runtime/errors.h"

namespace torvinale {

std::string ProgramFile() {
  char buffer[MAX_PATH + 1] = {};
  GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  return buffer;
}

bool FindModule(const void* address, std::string& path, const void*& base) {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(address, &info, sizeof info) == 0 || info.State != MEM_COMMIT) return false;
  char buffer[MAX_PATH + 1] = {};
  if (GetModuleFileNameA(static_cast<HMODULE>(info.AllocationBase), buffer, sizeof buffer) == 0) {
    return false;
  }
  path = buffer;
  base = info.AllocationBase;
  return true;
}

void ConvertToConsoleCodePage(std::string& text) { CharToOemA(text.data(), text.data()); }

namespace {

FaultReporter report_fault = nullptr;
LPTOP_LEVEL_EXCEPTION_FILTER previous_filter = nullptr;
LONG handling_fault = 0;
const void* fault_instruction = nullptr;
char fault_message[64];

[[noreturn]] void ThrowAccessViolation() {
  SetRaiseAddress(fault_instruction);
  throw EAccessViolation(fault_message);
}

bool InOwnImage(const void* address) {
  auto* image = reinterpret_cast<const unsigned char*>(GetModuleHandleA(nullptr));
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
  auto* p = static_cast<const unsigned char*>(address);
  return p >= image && p < image + nt->OptionalHeader.SizeOfImage;
}

// The platform asks this filter only when no debugger is attached; with one,
// the fault is left to the debugger. A fault in our own code resumes in a call
// to ThrowAccessViolation made as if from the faulting instruction, so the
// error unwinds from there (built with -fnon-call-exceptions) like any other.
// Frames of system code, or a second fault, may not unwind: those are
// reported at once, without the clean-ups.
LONG WINAPI OnUnhandledFault(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION &&
      record->ExceptionCode != EXCEPTION_IN_PAGE_ERROR) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  const void* address = record->ExceptionAddress;
  ULONG_PTR target = record->NumberParameters >= 2 ? record->ExceptionInformation[1] : 0;
  char message[sizeof fault_message];
  std::snprintf(message, sizeof message, "Access violation at address %016llX",
                static_cast<unsigned long long>(target));
  if (InterlockedExchange(&handling_fault, 1) != 0 || !InOwnImage(address)) {
    report_fault(message, address);
  }
  std::memcpy(fault_message, message, sizeof message);
  fault_instruction = address;
  CONTEXT* context = pointers->ContextRecord;
  context->Rsp -= sizeof(DWORD64);
  // One past the instruction, so that the unwinder's look-up of the "call"
  // lands on the faulting instruction itself.
  *reinterpret_cast<DWORD64*>(context->Rsp) = context->Rip + 1;
  context->Rip = reinterpret_cast<DWORD64>(&ThrowAccessViolation);
  return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

void InstallFaultHandlers(FaultReporter report) {
  report_fault = report;
  previous_filter = SetUnhandledExceptionFilter(OnUnhandledFault);
}

bool LeaveErrorToDebugger() { return IsDebuggerPresent() != 0; }

void RemoveFaultHandlers() { SetUnhandledExceptionFilter(previous_filter); }

}  // namespace torvinale
