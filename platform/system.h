// The real operating-system services, one implementation per platform.
#pragma once

#include <cstddef>
#include <string>

#include "platform/services.h"

namespace torvinale {

// Start-up steps that must precede any file access.
void PrepareProcess();

FileSystem& RealFileSystem();
Profile& RealProfile();
Shell& RealShell();
Clock& RealClock();
OutputSink& StandardOutput();
// The console of standard output; cursor moves may travel through out.
Console& RealConsole(TextStream& out);

// Writes to standard error; failures go unnoticed.
void WriteStandardError(const char* data, std::size_t size);

// The file of the module holding address and that module's load address;
// false when the platform cannot tell.
bool FindModule(const void* address, std::string& path, const void*& base);
// The program's own file.
std::string ProgramFile();
// The report's code-page conversion, in place.
void ConvertToConsoleCodePage(std::string& text);

[[noreturn]] void ExitProcessWith(int code);

}  // namespace torvinale

namespace torvinale {

// Processor faults become EAccessViolation errors on the usual road; a fault
// that cannot be unwound from goes to report, which does not return.
using FaultReporter = void (*)(const char* message, const void* address);
void InstallFaultHandlers(FaultReporter report);
void RemoveFaultHandlers();

// True when an attached debugger should get an uncaught error instead of the report.
bool LeaveErrorToDebugger();

}  // namespace torvinale
