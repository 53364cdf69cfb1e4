/* The floor for the benchmark: the least a program can do for the same run. It
   reads config.ini, writes the same bytes (one write per screen), sleeps the
   same waits and starts each entry detached with one posix_spawn. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static char text[65536];
static char* entries[10];
static long countdown, pause_ms;

static void Sleep(long ms) {
  struct timespec left = {ms / 1000, ms % 1000 * 1000000L};
  while (nanosleep(&left, &left) != 0) {
  }
}

static void Put(const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(1, data, size);
    if (n <= 0) exit(1);
    data += n;
    size -= (size_t)n;
  }
}

static void ReadConfig(void) {
  int fd = open("config.ini", O_RDONLY);
  ssize_t size = fd < 0 ? 0 : read(fd, text, sizeof text - 1);
  if (size < 0) size = 0;
  text[size] = '\0';
  for (char* line = strtok(text, "\r\n"); line != NULL; line = strtok(NULL, "\r\n")) {
    char* value = strchr(line, '=');
    if (value == NULL) continue;
    *value++ = '\0';
    if (strcmp(line, "Countdown") == 0) countdown = strtol(value, NULL, 10);
    if (strcmp(line, "Pause") == 0) pause_ms = strtol(value, NULL, 10);
    if (strncmp(line, "Program", 7) == 0) {
      int n = atoi(line + 7);
      if (n >= 1 && n <= 10) entries[n - 1] = value;
    }
  }
}

static char* Append(char* at, const char* text) {
  size_t n = strlen(text);
  memcpy(at, text, n);
  return at + n;
}

/* No printf: its machinery alone would be most of the C library touched. */
static char* AppendNumber(char* at, long value) {
  char digits[24];
  int n = 0;
  unsigned long magnitude = value < 0 ? 0UL - (unsigned long)value : (unsigned long)value;
  do {
    digits[n++] = (char)('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude > 0);
  if (value < 0) *at++ = '-';
  while (n > 0) *at++ = digits[--n];
  return at;
}

int main(void) {
  static const char rule[] =
      "====================================================================\r\n";
  static const char banner[] =
      "Torvinale version: 1.0.0                       torvinale.example.org 2012\r\n";
  ReadConfig();
  int terminal = isatty(1);
  long counter = countdown + 1;
  char screen[8192];
  do {
    --counter;
    char* at = screen;
    at = Append(at, terminal ? "\x1b[1;1H" : "");
    at = Append(at, rule);
    at = Append(at, terminal ? "\x1b[2;1H" : "");
    at = Append(at, banner);
    at = Append(at, terminal ? "\x1b[3;1HCountdown: " : "Countdown: ");
    at = AppendNumber(at, counter);
    at = Append(at, terminal ? " \r\n\x1b[3;16Hms\r\n\x1b[4;1H" : " \r\nms\r\n");
    at = Append(at, rule);
    for (int i = 0; i < 10; ++i) {
      at = Append(at, "Program ");
      at = AppendNumber(at, i + 1);
      at = Append(at, ": ");
      at = Append(at, entries[i] ? entries[i] : "");
      at = Append(at, "\r\n");
    }
    Put(screen, (size_t)(at - screen));
    Sleep(1000);
  } while (counter > 0);

  Sleep(100);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd <= 2; ++fd) {
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  for (int i = 0; i < 10; ++i) {
    if (entries[i] == NULL || strlen(entries[i]) < 3) continue;
    char* argv[] = {entries[i], NULL};
    pid_t pid;
    int failed = posix_spawn(&pid, entries[i], &actions, &attributes, argv, environ);
    const char* tail = failed ? "FAILED\r\n" : "EXECUTED\r\n";
    char line[80];
    char* at = AppendNumber(Append(line, "Program"), i + 1);
    size_t dots = 61 + 2 - (size_t)(at - line) - strlen(tail);
    memset(at, '.', dots);
    at = Append(at + dots, tail);
    Put(line, (size_t)(at - line));
    Sleep(pause_ms < 0 ? 0 : pause_ms);
  }
  Put("Closing program...\r\n", 20);
  Sleep(2000);
  return 0;
}
