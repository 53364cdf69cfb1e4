/* An entry for the benchmark to open: appends its own file name and the time it
   started running (microseconds since 1970) to markers.log beside itself. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>

static long long NowMicroseconds(void) {
  FILETIME ft;
  GetSystemTimePreciseAsFileTime(&ft);
  unsigned long long t = ((unsigned long long)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
  return (long long)(t / 10 - 11644473600000000ULL);
}

static int OwnPath(char* buffer, int size) {
  return (int)GetModuleFileNameA(NULL, buffer, (DWORD)size);
}
#else
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

static long long NowMicroseconds(void) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

static int OwnPath(char* buffer, int size) {
  ssize_t n = readlink("/proc/self/exe", buffer, (size_t)size - 1);
  return n < 0 ? 0 : (int)n;
}
#endif

int main(void) {
  long long started = NowMicroseconds();
  char self[4096];
  int n = OwnPath(self, (int)sizeof self - 16);
  if (n <= 0) return 1;
  self[n] = '\0';
  char* cut = strrchr(self, '/');
  char* cut2 = strrchr(self, '\\');
  if (cut2 > cut) cut = cut2;
  if (cut == NULL) return 1;
  char name[512];
  snprintf(name, sizeof name, "%s", cut + 1);
  strcpy(cut + 1, "markers.log");

  char line[600];
  int len = snprintf(line, sizeof line, "%s %lld\n", name, started);
  /* One appending write, so that markers started together never mix lines. */
#ifdef _WIN32
  HANDLE log = CreateFileA(self, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (log == INVALID_HANDLE_VALUE) return 1;
  DWORD written;
  WriteFile(log, line, (DWORD)len, &written, NULL);
  CloseHandle(log);
#else
  int fd = open(self, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return 1;
  if (write(fd, line, (size_t)len) != len) return 1;
  close(fd);
#endif
  return 0;
}
