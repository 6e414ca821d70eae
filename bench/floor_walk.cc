#include "bench/floor_walk.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace bench {

namespace {

constexpr uint64_t kMarkBit = uint64_t{1} << 63;
constexpr size_t kFirstCapacity = 1024;
// One getdents64 call fills at most this much; a directory is read whole
// before any subdirectory is entered, so its buffer grows to fit it.
constexpr size_t kReadChunk = 32 * 1024;
// The layout of a linux_dirent64 record: inode (8 bytes), offset (8), record
// length (2), type (1), then the name with its terminating zero.
constexpr size_t kRecLenOffset = 16;
constexpr size_t kNameOffset = 19;

uint64_t Mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

// The hash of `parent`'s path extended by "/" and `name`: paths are hashed
// element by element as the walk descends, never spelled out.
uint64_t HashChild(uint64_t parent, const char* name) {
  uint64_t h = parent ^ 0xcbf29ce484222325ULL;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name);
       *p != 0; ++p) {
    h = (h ^ *p) * 0x100000001b3ULL;
  }
  h = Mix(h);
  return h == 0 ? 1 : h;  // 0 marks a free slot
}

FloorRecord* Find(FloorRecord* slots, size_t capacity, uint64_t key) {
  size_t i = key & (capacity - 1);
  while (slots[i].key != 0 && slots[i].key != key) i = (i + 1) & (capacity - 1);
  return &slots[i];
}

// Moves the records that carry `keepMark` (all of them when `all`) into a
// fresh table of `capacity` slots.
int Rebuild(FloorWalker* w, size_t capacity, bool all, uint64_t keepMark) {
  FloorRecord* slots =
      static_cast<FloorRecord*>(calloc(capacity, sizeof(FloorRecord)));
  if (slots == nullptr) return ENOMEM;
  size_t live = 0;
  for (size_t i = 0; i < w->capacity; ++i) {
    const FloorRecord& r = w->slots[i];
    if (r.key == 0) continue;
    if (!all && (r.sizeMark & kMarkBit) != keepMark) continue;
    *Find(slots, capacity, r.key) = r;
    ++live;
  }
  free(w->slots);
  w->slots = slots;
  w->capacity = capacity;
  w->live = live;
  return 0;
}

int Visit(FloorWalker* w, uint64_t key, const struct stat& st, FloorCounts* c) {
  const int64_t mtime =
      int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
  const uint64_t size = static_cast<uint64_t>(st.st_size) & ~kMarkBit;
  const uint64_t mark = w->mark << 63;
  ++c->entries;
  FloorRecord* r = Find(w->slots, w->capacity, key);
  if (r->key == key) {
    if (r->mtimeNs != mtime || r->ino != st.st_ino ||
        (r->sizeMark & ~kMarkBit) != size) {
      ++c->changed;
    }
  } else {
    ++c->created;
    ++w->live;
  }
  *r = {key, mtime, st.st_ino, size | mark};
  if (w->live * 5 > w->capacity * 4) {
    return Rebuild(w, w->capacity * 2, /*all=*/true, 0);
  }
  return 0;
}

// Reads the whole directory `fd` into the buffer of `depth`; returns the
// bytes read, or -1 with errno set.
ssize_t ReadDir(FloorWalker* w, int fd, size_t depth) {
  if (depth >= w->depths) {
    const size_t n = depth + 8;
    void* grown = realloc(w->buffers, n * sizeof(FloorBuffer));
    if (grown == nullptr) {
      errno = ENOMEM;
      return -1;
    }
    w->buffers = static_cast<FloorBuffer*>(grown);
    for (size_t i = w->depths; i < n; ++i) w->buffers[i] = {nullptr, 0};
    w->depths = n;
  }
  FloorBuffer* b = &w->buffers[depth];
  size_t used = 0;
  for (;;) {
    if (b->capacity - used < kReadChunk) {
      const size_t capacity = b->capacity == 0 ? kReadChunk : b->capacity * 2;
      void* grown = realloc(b->data, capacity);
      if (grown == nullptr) {
        errno = ENOMEM;
        return -1;
      }
      b->data = static_cast<char*>(grown);
      b->capacity = capacity;
    }
    const long n =
        syscall(SYS_getdents64, fd, b->data + used, b->capacity - used);
    if (n < 0) return -1;
    if (n == 0) return static_cast<ssize_t>(used);
    used += static_cast<size_t>(n);
  }
}

int WalkDir(FloorWalker* w, int fd, uint64_t dirKey, size_t depth,
            FloorCounts* c) {
  const ssize_t used = ReadDir(w, fd, depth);
  if (used < 0) return errno;
  // Deeper levels use their own buffers, but may move the array of them.
  const char* data = w->buffers[depth].data;
  for (ssize_t off = 0; off < used;) {
    const char* rec = data + off;
    unsigned short recLen;
    memcpy(&recLen, rec + kRecLenOffset, sizeof recLen);
    off += recLen;
    const char* name = rec + kNameOffset;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) {
      continue;
    }
    struct stat st;
    // Gone since the read, or unreadable: not seen this cycle.
    if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const uint64_t key = HashChild(dirKey, name);
    if (int err = Visit(w, key, st, c); err != 0) return err;
    if (!S_ISDIR(st.st_mode)) continue;
    const int sub =
        openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0) continue;
    const int err = WalkDir(w, sub, key, depth + 1, c);
    close(sub);
    // A subdirectory that cannot be read loses its contents, not the walk.
    if (err == ENOMEM) return err;
  }
  return 0;
}

}  // namespace

int FloorInit(FloorWalker* w) {
  *w = {};
  w->slots =
      static_cast<FloorRecord*>(calloc(kFirstCapacity, sizeof(FloorRecord)));
  if (w->slots == nullptr) return ENOMEM;
  w->capacity = kFirstCapacity;
  return 0;
}

void FloorFree(FloorWalker* w) {
  for (size_t i = 0; i < w->depths; ++i) free(w->buffers[i].data);
  free(w->buffers);
  free(w->slots);
  *w = {};
}

int FloorCycle(FloorWalker* w, const char* root, FloorCounts* counts) {
  *counts = {};
  const int fd = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const size_t liveBefore = w->live;
  FloorCounts c = {};
  const int err = WalkDir(w, fd, /*dirKey=*/0, /*depth=*/0, &c);
  close(fd);
  // Nothing is swept after a failed walk: records it did not reach keep the
  // old mark, and the next complete cycle judges them.
  if (err != 0) return err;
  // Records the cycle did not see are the removed entries. Counting spares
  // the sweep over the whole table on the common cycle that removed nothing.
  const size_t seenBefore = static_cast<size_t>(c.entries - c.created);
  if (seenBefore < liveBefore) {
    c.removed = static_cast<int64_t>(liveBefore - seenBefore);
    if (Rebuild(w, w->capacity, /*all=*/false, w->mark << 63) != 0) {
      return ENOMEM;
    }
  }
  w->mark ^= 1;
  *counts = c;
  return 0;
}

}  // namespace bench
