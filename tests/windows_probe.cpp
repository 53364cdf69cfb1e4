// What Windows reads from the files we ship, asked through Windows' own calls (run
// under Wine by the package test):
//   probe version FILE            the version resource, as installers read it
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int Version(const char* file) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(file, &ignored);
  if (size == 0) {
    std::printf("GetFileVersionInfoSizeA failed: %lu\n", GetLastError());
    return 1;
  }
  std::vector<char> data(size);
  if (!GetFileVersionInfoA(file, 0, size, data.data())) {
    std::printf("GetFileVersionInfoA failed: %lu\n", GetLastError());
    return 1;
  }
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(data.data(), "\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
    std::printf("no fixed file information\n");
    return 1;
  }
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  std::printf("Signature=%08lX\n", fixed->dwSignature);
  auto print_version = [](const char* name, DWORD high, DWORD low) {
    std::printf("%s=%u.%u.%u.%u\n", name, unsigned{HIWORD(high)}, unsigned{LOWORD(high)},
                unsigned{HIWORD(low)}, unsigned{LOWORD(low)});
  };
  print_version("FILEVERSION", fixed->dwFileVersionMS, fixed->dwFileVersionLS);
  print_version("PRODUCTVERSION", fixed->dwProductVersionMS, fixed->dwProductVersionLS);
  std::printf("FileType=%lu\n", fixed->dwFileType);
  // The strings are found through the language and code page the file lists, as
  // Explorer finds them.
  if (!VerQueryValueA(data.data(), "\\VarFileInfo\\Translation", &value, &length) || length < 4) {
    std::printf("no translation\n");
    return 1;
  }
  const auto* translation = static_cast<const WORD*>(value);
  std::printf("Translation=%04x%04x\n", translation[0], translation[1]);
  for (const char* name : {"CompanyName", "FileDescription", "FileVersion", "InternalName",
                           "LegalCopyright", "OriginalFilename", "ProductName", "ProductVersion"}) {
    char path[128];
    std::snprintf(path, sizeof path, "\\StringFileInfo\\%04x%04x\\%s", translation[0],
                  translation[1], name);
    if (VerQueryValueA(data.data(), path, &value, &length) && length > 0) {
      std::printf("%s=%s\n", name, static_cast<const char*>(value));
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string command = argc > 1 ? argv[1] : "";
  if (command == "version" && argc == 3) return Version(argv[2]);
  std::fputs("usage: probe version FILE\n", stderr);
  return 2;
}
