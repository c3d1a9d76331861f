/* The floor: waits on inotify for files moved into (or written in) a
 * directory and starts the child for each with posix_spawn, reading nothing.
 * No launcher can do less. Children are reaped by SIGCHLD being ignored. */
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

extern char** environ;

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: bench_floor DIR CHILD\n");
    return 2;
  }
  signal(SIGCHLD, SIG_IGN);
  int fd = inotify_init1(IN_CLOEXEC);
  if (fd < 0 || inotify_add_watch(fd, argv[1], IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
    perror("inotify");
    return 1;
  }
  char buffer[64 * (sizeof(struct inotify_event) + NAME_MAX + 1)]
      __attribute__((aligned(__alignof__(struct inotify_event))));
  char path[PATH_MAX];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) continue;
    for (char* p = buffer; p < buffer + n;) {
      struct inotify_event* event = (struct inotify_event*)p;
      if (event->len > 0) {
        snprintf(path, sizeof path, "%s/%s", argv[1], event->name);
        char* child_argv[] = {argv[2], path, NULL};
        pid_t pid;
        posix_spawn(&pid, argv[2], NULL, NULL, child_argv, environ);
      }
      p += sizeof(struct inotify_event) + event->len;
    }
  }
}
