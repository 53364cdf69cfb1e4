/* The least a program can do to read the settings from a large config.ini: one
   read of the whole file, one scan for the section, then its keys. Compared with
   the launcher for files of growing size (no entries, Countdown=0). */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int main(void) {
  int fd = open("config.ini", O_RDONLY);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return 1;
  char* text = malloc((size_t)st.st_size + 1);
  if (text == NULL) return 1;
  size_t size = 0;
  for (ssize_t n; size < (size_t)st.st_size &&
                  (n = read(fd, text + size, (size_t)st.st_size - size)) > 0;) {
    size += (size_t)n;
  }
  text[size] = '\0';
  const char* section = memmem(text, size, "\n[Torvinale]", 12);
  int found = 0;
  for (const char* line = section ? section + 1 : NULL; line != NULL;) {
    const char* end = strchr(line, '\n');
    if (line != section + 1 && *line == '[') break;
    found += strncmp(line, "Countdown=", 10) == 0 || strncmp(line, "Pause=", 6) == 0 ||
             strncmp(line, "Program", 7) == 0;
    line = end ? end + 1 : NULL;
  }
  return found == 0;
}
