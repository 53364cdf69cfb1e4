#include "runtime/report.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <typeinfo>

#include "platform/system.h"
#include "runtime/errors.h"

namespace torvinale {
namespace {

constexpr std::size_t kModuleNameCapacity = 260;
constexpr std::uintptr_t kFallbackOffset = 0x1000;
constexpr int kReportAttempts = 4;

// Created at start-up: there may be no memory left to create it later.
std::exception_ptr& PreparedOutOfMemory() {
  static std::exception_ptr error;
  return error;
}

std::string DemangledCurrentType() {
  const std::type_info* type = abi::__cxa_current_exception_type();
  if (type == nullptr) return "Exception";
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(
      abi::__cxa_demangle(type->name(), nullptr, nullptr, &status), std::free);
  return status == 0 && name ? name.get() : type->name();
}

}  // namespace

std::string ModuleNameOf(std::string_view path) {
  std::size_t cut = path.find_last_of("\\/");
  std::string_view name = cut == std::string_view::npos ? path : path.substr(cut + 1);
  return std::string(name.substr(0, kModuleNameCapacity));
}

std::string FormatReport(std::string_view class_name, std::string_view module_name,
                         std::uintptr_t shown_address, std::string_view message) {
  char address[9];
  std::snprintf(address, sizeof address, "%08X",
                static_cast<unsigned>(shown_address & 0xFFFFFFFFu));
  std::string text = "Exception ";
  text.append(class_name).append(" in module ").append(module_name);
  text.append(" at ").append(address).append(".\r\n").append(message);
  if (!message.empty() && message.back() != '.') text += '.';
  text += "\r\n";
  if (text.size() > kReportCapacity) text.resize(kReportCapacity);
  return text;
}

ErrorDescription Describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const Exception& e) {
    return {e.ClassName(), e.Message()};
  } catch (const std::bad_alloc&) {
    return {"EOutOfMemory", "Out of memory"};
  } catch (...) {
    return {DemangledCurrentType(), ""};
  }
}

TextOutput& StandardOutputStream() {
  static TextOutput stream(StandardOutput());
  return stream;
}

void InstallErrorLayer() {
  PreparedOutOfMemory() = std::make_exception_ptr(EOutOfMemory("Out of memory"));
  InstallFaultHandlers(ReportFault);
}

void ErrorReport(std::exception_ptr error, const void* raise_address) {
  ErrorDescription description = Describe(error);
  error = nullptr;

  std::string module_path;
  const void* base = nullptr;
  auto address = reinterpret_cast<std::uintptr_t>(raise_address);
  std::uintptr_t shown = 0;
  if (FindModule(raise_address, module_path, base)) {
    shown = address - reinterpret_cast<std::uintptr_t>(base);
  } else {
    module_path = ProgramFile();
    shown = address == 0 ? 0 : address - kFallbackOffset;
  }
  std::string text =
      FormatReport(description.class_name, ModuleNameOf(module_path), shown, description.message);

  // The report follows whatever the screen wrote when both share a destination.
  StandardOutputStream().Flush();
  OutputCheck();

  ConvertToConsoleCodePage(text);
  WriteStandardError(text.data(), text.size());
  WriteStandardError("\r\n", 2);
  EndProcess(1);
}

void EndProcess(int exit_code) {
  // A failure here is stored, never reported.
  StandardOutputStream().Flush();
  RemoveFaultHandlers();
  ExitProcessWith(exit_code);
}

void RunUnderTopLevelHandler(void (*main_line)()) {
  std::exception_ptr error;
  try {
    main_line();
    // The last part of the screen is checked like every line before it: exit
    // code 0 means that all of it was handed over.
    StandardOutputStream().Flush();
    OutputCheck();
  } catch (...) {
    error = std::current_exception();
  }
  if (!error) EndProcess(0);
  TopLevelHandler(error, LastRaiseAddress());
}

void TopLevelHandler(std::exception_ptr error, const void* raise_address) {
  // Uncaught, it stops in the debugger where it was raised.
  if (LeaveErrorToDebugger()) std::rethrow_exception(error);
  // The clean-ups on the error's way have run: the catch that got here
  // unwound the main line.
  ReportUntilDone(std::move(error), raise_address);
}

void ReportUntilDone(std::exception_ptr error, const void* raise_address) {
  // A failed write-out of the screen inside the report raises again; the
  // second error then gets the report. Memory that stays exhausted could
  // raise for ever: after a few tries the process ends without a report.
  for (int attempt = 0; attempt < kReportAttempts; ++attempt) {
    try {
      ErrorReport(error, raise_address);
    } catch (...) {
      error = std::current_exception();
      raise_address = LastRaiseAddress();
    }
  }
  EndProcess(1);
}

void ReportFault(const char* message, const void* address) {
  ReportUntilDone(std::make_exception_ptr(EAccessViolation(message)), address);
}

}  // namespace torvinale

// Every failed memory request raises the one prepared EOutOfMemory.
void* operator new(std::size_t size) {
  if (size == 0) size = 1;
  for (;;) {
    if (void* p = std::malloc(size)) return p;
    if (std::new_handler handler = std::get_new_handler()) {
      handler();
      continue;
    }
    torvinale::SetRaiseAddress(__builtin_extract_return_addr(__builtin_return_address(0)));
    std::exception_ptr& prepared = torvinale::PreparedOutOfMemory();
    if (prepared) std::rethrow_exception(prepared);
    throw std::bad_alloc();
  }
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
