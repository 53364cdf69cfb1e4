// What Windows reads from the files we ship, asked through Windows' own calls (run
// under Wine by the package test):
//   probe version FILE            the version resource, as installers read it
//   probe shortcut LINK           what a shortcut starts, and where
//   probe run TARGET ARGS FOLDER  starts "TARGET" ARGS in FOLDER as the shell starts a
//                                 shortcut, in this console; exits with its code
//   probe product CODE            what Apps & Features shows of an installed product
// Copied as timeout.exe it stands in for Windows' own, which Wine lacks: "/t N"
// waits N seconds or until a key is pressed in the console. Copied as notepad.exe it
// stands in for the editor: it adds its command line to notepad.exe.log beside it.
#include <windows.h>

#include <msi.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

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

int Shortcut(const char* file) {
  if (FAILED(CoInitialize(nullptr))) return 1;
  IShellLinkA* link = nullptr;
  IPersistFile* persist = nullptr;
  wchar_t wide[MAX_PATH];
  if (MultiByteToWideChar(CP_ACP, 0, file, -1, wide, MAX_PATH) == 0 ||
      FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                              reinterpret_cast<void**>(&link))) ||
      FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist))) ||
      FAILED(persist->Load(wide, STGM_READ))) {
    std::printf("cannot load the shortcut\n");
    return 1;
  }
  char text[INFOTIPSIZE];
  int show = 0;
  if (FAILED(link->GetPath(text, sizeof text, nullptr, SLGP_RAWPATH))) return 1;
  std::printf("Target=%s\n", text);
  if (FAILED(link->GetArguments(text, sizeof text))) return 1;
  std::printf("Arguments=%s\n", text);
  if (FAILED(link->GetWorkingDirectory(text, sizeof text))) return 1;
  std::printf("WorkingDirectory=%s\n", text);
  if (FAILED(link->GetShowCmd(&show))) return 1;
  std::printf("ShowCmd=%d\n", show);
  persist->Release();
  link->Release();
  CoUninitialize();
  return 0;
}

int Run(const char* target, const char* arguments, const char* folder) {
  std::string command = std::string("\"") + target + "\" " + arguments;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, folder, &startup,
                      &process)) {
    std::printf("CreateProcessA failed: %lu\n", GetLastError());
    return 255;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 255;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

int Product(const char* code) {
  for (const char* name : {INSTALLPROPERTY_INSTALLEDPRODUCTNAME, INSTALLPROPERTY_VERSIONSTRING,
                           INSTALLPROPERTY_PUBLISHER, INSTALLPROPERTY_PRODUCTICON}) {
    char value[MAX_PATH] = {};
    DWORD size = sizeof value;
    if (MsiGetProductInfoA(code, name, value, &size) != ERROR_SUCCESS) return 1;
    std::printf("%s=%s\n", name, value);
  }
  return 0;
}

int Record(const char* self) {
  std::FILE* log = std::fopen((std::string(self) + ".log").c_str(), "a");
  if (log == nullptr) return 1;
  std::fprintf(log, "%s\n", GetCommandLineA());
  return std::fclose(log) == 0 ? 0 : 1;
}

bool KeyPressed(HANDLE input) {
  INPUT_RECORD record;
  DWORD read = 0;
  while (PeekConsoleInputA(input, &record, 1, &read) && read == 1) {
    ReadConsoleInputA(input, &record, 1, &read);
    if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) return true;
  }
  return false;
}

// The texts are Windows' own, so that the screen reads as it will there.
int Timeout(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "/t") != 0 && std::strcmp(argv[1], "/T") != 0)) {
    std::fputs("ERROR: Invalid syntax.\n", stderr);
    return 1;
  }
  int seconds = std::atoi(argv[2]);
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(input, &mode)) {
    std::fputs("ERROR: Input redirection is not supported, exiting the process immediately.\n",
               stderr);
    return 1;
  }
  SetConsoleMode(input, 0);
  FlushConsoleInputBuffer(input);
  std::printf("\nWaiting for %2d seconds, press a key to continue ...", seconds);
  std::fflush(stdout);
  for (int left = seconds; left > 0; --left) {
    DWORD end = GetTickCount() + 1000;
    for (DWORD now = GetTickCount(); now < end; now = GetTickCount()) {
      if (WaitForSingleObject(input, end - now) == WAIT_OBJECT_0 && KeyPressed(input)) {
        std::printf("\n");
        return 0;
      }
    }
    std::printf("\rWaiting for %2d seconds, press a key to continue ...", left - 1);
    std::fflush(stdout);
  }
  std::printf("\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, sizeof self);
  const char* name = std::strrchr(self, '\\');
  if (name != nullptr && lstrcmpiA(name + 1, "timeout.exe") == 0) return Timeout(argc, argv);
  if (name != nullptr && lstrcmpiA(name + 1, "notepad.exe") == 0) return Record(self);
  std::string command = argc > 1 ? argv[1] : "";
  if (command == "version" && argc == 3) return Version(argv[2]);
  if (command == "shortcut" && argc == 3) return Shortcut(argv[2]);
  if (command == "run" && argc == 5) return Run(argv[2], argv[3], argv[4]);
  if (command == "product" && argc == 3) return Product(argv[2]);
  std::fputs("usage: probe version FILE | shortcut LINK | run TARGET ARGS FOLDER | product CODE\n",
             stderr);
  return 2;
}
