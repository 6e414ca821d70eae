// floor_walker DIR [SECONDS]
//
// Polls the tree below DIR every SECONDS (whole seconds, default 1) with
// the floor walker's cycle and sleeps the interval after each cycle, as the
// controller does. It writes one line on standard output once the first
// walk is done:
//
//   floor: first walk done, 10000 entries
//
// and one line after each later cycle that saw a change:
//
//   floor: change seen: 0 created, 1 changed, 0 removed
//
// Each line is one write(2), so the benchmark reads it the moment it is
// written. Runs until killed; exit status 1 when DIR cannot be walked at
// first, 2 on a bad command line.

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "bench/floor_walk.h"

namespace {

void Say(const char* text, int len) {
  while (len > 0) {
    const ssize_t n = write(STDOUT_FILENO, text, static_cast<size_t>(len));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    len -= static_cast<int>(n);
  }
}

void SleepSeconds(long seconds) {
  struct timespec left = {seconds, 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: floor_walker DIR [SECONDS]\n");
    return 2;
  }
  const char* root = argv[1];
  long interval = 1;
  if (argc == 3) {
    char* end = nullptr;
    interval = strtol(argv[2], &end, 10);
    if (*argv[2] == 0 || *end != 0 || interval < 1) {
      fprintf(stderr, "floor_walker: bad interval '%s'\n", argv[2]);
      return 2;
    }
  }

  bench::FloorWalker w;
  bench::FloorCounts c;
  char line[160];
  if (bench::FloorInit(&w) != 0) return 1;
  if (int err = bench::FloorCycle(&w, root, &c); err != 0) {
    fprintf(stderr, "floor_walker: %s: %s\n", root, strerror(err));
    return 1;
  }
  Say(line,
      snprintf(line, sizeof line, "floor: first walk done, %lld entries\n",
               static_cast<long long>(c.entries)));
  for (;;) {
    SleepSeconds(interval);
    if (int err = bench::FloorCycle(&w, root, &c); err != 0) {
      Say(line, snprintf(line, sizeof line, "floor: walk failed: %s\n",
                         strerror(err)));
      continue;
    }
    if (c.created + c.changed + c.removed == 0) continue;
    Say(line, snprintf(line, sizeof line,
                       "floor: change seen: %lld created, %lld changed, %lld "
                       "removed\n",
                       static_cast<long long>(c.created),
                       static_cast<long long>(c.changed),
                       static_cast<long long>(c.removed)));
  }
}
