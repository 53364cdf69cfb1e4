// The end of the process: the report of an uncaught error and the exit code.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "runtime/output.h"

namespace torvinale {

inline constexpr std::size_t kReportCapacity = 1023;

// The part of a module path after its last separator, at most 260 characters.
std::string ModuleNameOf(std::string_view path);

// The two report lines, cut after kReportCapacity characters. The message
// gets a full stop unless it is empty or already ends with one.
std::string FormatReport(std::string_view class_name, std::string_view module_name,
                         std::uintptr_t shown_address, std::string_view message);

// The class name and message that the report shows for an error object.
struct ErrorDescription {
  std::string class_name;
  std::string message;
};
ErrorDescription Describe(const std::exception_ptr& error);

// The process's standard-output stream, opened at its first write.
TextOutput& StandardOutputStream();

// Prepares the error layer: the out-of-memory error and the fault handlers.
void InstallErrorLayer();

// Writes the report for error on standard error and ends with exit code 1.
[[noreturn]] void ErrorReport(std::exception_ptr error, const void* raise_address);

// Runs the shut-down steps, hands over buffered output and ends the process.
[[noreturn]] void EndProcess(int exit_code);

// Receives every error that escapes the main line, after its clean-ups.
[[noreturn]] void TopLevelHandler(std::exception_ptr error, const void* raise_address);

// ErrorReport, and again for any error raised while reporting.
[[noreturn]] void ReportUntilDone(std::exception_ptr error, const void* raise_address);

// The report of a fault that cannot be unwound from: no clean-up runs.
[[noreturn]] void ReportFault(const char* message, const void* address);

// Runs main_line under the top-level handler, then ends with exit code 0.
[[noreturn]] void RunUnderTopLevelHandler(void (*main_line)());

}  // namespace torvinale
