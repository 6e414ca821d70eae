#include "klog/klog.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <deque>
#include <utility>

#include "base/mutex.h"
#include "base/thread.h"
#include "klog/write_all.h"

namespace klog {
namespace {

constexpr char kSeverityChar[] = "IWEF";
constexpr std::size_t kMaxPooledBuffer = 256;
// How long a caller waits for its line to be written. Past it, output
// counts as stalled and callers stop waiting until a line gets through.
constexpr std::chrono::milliseconds kLinePatience{100};
// What the queue of lines not yet written may hold; a line beyond it is
// dropped and counted.
constexpr std::size_t kQueueCapacity = 128 * 1024;
// How long the output thread waits for a full, non-blocking standard error
// before that line is lost (nobody waits on the output thread).
constexpr std::chrono::milliseconds kWriterPatience{60000};
// Without an output thread, how long a caller writes itself.
constexpr std::chrono::milliseconds kInlinePatience{2000};
// Says, once output flows again, how many lines did not fit the queue,
// with the named loggers' Warning prefix: it reads like their lines.
constexpr std::string_view kWarningPrefix = "[Warning] ";
constexpr std::string_view kDroppedNotice =
    "Log lines dropped while standard error was blocked: ";

// A line under construction; `next` links it while it rests in the pool.
struct buffer {
  std::string bytes;
  buffer* next = nullptr;
};

// The one logging core. It is created on first use and never destroyed:
// threads may still log while the process ends.
//
// Finished lines go through a queue to one output thread, the only writer.
// Standard error is shared with the children and may be a pipe whose
// reader stalls; a write may then block for good. Only the output thread
// waits on it: a caller waits for its line at most kLinePatience, and not
// at all once output counts as stalled.
//
// Two locks: mu guards the queue and the output thread's state, freeListMu
// the pool of buffers. Neither is held while a line is written, and a
// thread that holds both took mu first.
class loggingT {
 public:
  loggingT() : pid(::getpid()) {}

  void printDepth(Severity s, const std::source_location& where,
                  std::span<const Arg> args);
  buffer* header(Severity s, const std::source_location& where);
  buffer* formatHeader(Severity s, std::string_view file, int line);
  void output(buffer* buf) EXCLUDES(mu);
  bool flush(std::chrono::milliseconds idle) EXCLUDES(mu);
  buffer* getBuffer() EXCLUDES(freeListMu);
  void putBuffer(buffer* b) EXCLUDES(freeListMu);

  std::atomic<Level> verbosity{0};
  std::atomic<bool> skipHeaders{false};
  std::atomic<int> outputFd{STDERR_FILENO};
  const int64_t pid;

 private:
  // A line waiting for the output thread, and how many lines were dropped
  // just before it (0 when none); `line` is null for a notice alone.
  struct entry {
    buffer* line;
    int64_t droppedBefore;
  };

  // Starts the output thread if it does not run yet; false when it cannot.
  bool ensureWriter() REQUIRES(mu);
  void writeLines() EXCLUDES(mu);
  void writeDroppedNotice(int fd, int64_t dropped) EXCLUDES(mu);

  base::Mutex mu ACQUIRED_BEFORE(freeListMu);
  base::Mutex freeListMu;
  base::CondVar queuedCv;   // a line was queued
  base::CondVar writtenCv;  // a queued entry was written
  std::deque<entry> queue GUARDED_BY(mu);  // oldest first
  std::size_t queuedBytes GUARDED_BY(mu) = 0;
  uint64_t queuedCount GUARDED_BY(mu) = 0;   // entries ever queued
  // Entries ever taken and written (or lost).
  uint64_t writtenCount GUARDED_BY(mu) = 0;
  // Lines dropped since the last queued entry.
  int64_t dropped GUARDED_BY(mu) = 0;
  // A caller gave up waiting; no line written since.
  bool stalled GUARDED_BY(mu) = false;
  bool writerRunning GUARDED_BY(mu) = false;
  bool writerFailed GUARDED_BY(mu) = false;
  buffer* freeList GUARDED_BY(freeListMu) = nullptr;
};

loggingT& logging() {
  static loggingT* const instance = new loggingT;
  return *instance;
}

// Writes `v` (0-99) into `p` as two digits.
void twoDigits(char* p, int v) {
  p[0] = static_cast<char>('0' + v / 10 % 10);
  p[1] = static_cast<char>('0' + v % 10);
}

// Writes `v` right-aligned into `width` characters at `p`, filling on the
// left with `pad`; only the last `width` digits of a longer number fit.
void nDigits(char* p, int width, int64_t v, char pad) {
  for (int i = width - 1; i >= 0; --i) {
    if (v == 0 && i < width - 1) {
      p[i] = pad;
    } else {
      p[i] = static_cast<char>('0' + v % 10);
      v /= 10;
    }
  }
}

std::string_view baseName(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

class VerbosityValue : public Value {
 public:
  std::string Set(std::string_view text) override {
    Level v = 0;
    const auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size()) {
      return "parse error";
    }
    logging().verbosity.store(v, std::memory_order_relaxed);
    return "";
  }
  std::string String() const override {
    return std::to_string(logging().verbosity.load(std::memory_order_relaxed));
  }
};

class SkipHeadersValue : public Value {
 public:
  std::string Set(std::string_view text) override {
    bool b;
    if (!ParseBool(text, &b)) return "parse error";
    logging().skipHeaders.store(b, std::memory_order_relaxed);
    return "";
  }
  std::string String() const override {
    return logging().skipHeaders.load(std::memory_order_relaxed) ? "true"
                                                                 : "false";
  }
  bool IsBool() const override { return true; }
};

void loggingT::printDepth(Severity s, const std::source_location& where,
                          std::span<const Arg> args) {
  buffer* buf = header(s, where);
  AppendArgs(args, &buf->bytes);
  if (buf->bytes.empty() || buf->bytes.back() != '\n') {
    buf->bytes.push_back('\n');
  }
  output(buf);
}

buffer* loggingT::header(Severity s, const std::source_location& where) {
  const char* file = where.file_name();
  int line = static_cast<int>(where.line());
  if (file == nullptr || *file == '\0') {
    file = "???";
    line = 1;
  }
  return formatHeader(s, baseName(file), line);
}

buffer* loggingT::formatHeader(Severity s, std::string_view file, int line) {
  timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  buffer* buf = getBuffer();
  if (skipHeaders.load(std::memory_order_relaxed)) return buf;
  tm local;
  ::localtime_r(&now.tv_sec, &local);
  HeaderTime t;
  t.month = local.tm_mon + 1;
  t.day = local.tm_mday;
  t.hour = local.tm_hour;
  t.minute = local.tm_min;
  t.second = local.tm_sec;
  t.micros = static_cast<int>(now.tv_nsec / 1000);
  FormatHeader(s, t, pid, file, line, &buf->bytes);
  return buf;
}

void loggingT::output(buffer* buf) {
  const std::size_t n = buf->bytes.size();
  base::MutexLock lock(&mu);
  if (!ensureWriter()) {
    // No thread to hand it to: write it here, one write per line, waiting a
    // while for a full, non-blocking standard error. A failed write loses
    // the line, never more.
    lock.Unlock();
    (void)WriteAll(outputFd.load(std::memory_order_relaxed),
                   std::string_view(buf->bytes.data(), n), kInlinePatience);
    putBuffer(buf);
    return;
  }
  if (queuedBytes + n > kQueueCapacity) {
    ++dropped;
    lock.Unlock();
    putBuffer(buf);
    return;
  }
  queue.push_back({buf, std::exchange(dropped, 0)});
  queuedBytes += n;
  const uint64_t ticket = ++queuedCount;
  queuedCv.NotifyOne();
  // Waiting keeps the line ahead of what the caller does next (a command
  // it starts writes to the same standard error), as long as output flows.
  if (stalled) return;
  const auto deadline = std::chrono::steady_clock::now() + kLinePatience;
  while (writtenCount < ticket) {
    if (!writtenCv.WaitUntil(&mu, deadline) && writtenCount < ticket) {
      stalled = true;
      return;
    }
  }
}

bool loggingT::ensureWriter() {
  if (writerRunning) return true;
  if (writerFailed) return false;
  // Nobody is told of a failure: lines are then written by their callers.
  writerRunning =
      base::StartDetachedThread("klog output", [this] { writeLines(); }).ok();
  writerFailed = !writerRunning;
  return writerRunning;
}

void loggingT::writeLines() {
  base::MutexLock lock(&mu);
  for (;;) {
    while (queue.empty()) queuedCv.Wait(&mu);
    const entry e = queue.front();
    queue.pop_front();
    lock.Unlock();
    const int fd = outputFd.load(std::memory_order_relaxed);
    if (e.droppedBefore > 0) writeDroppedNotice(fd, e.droppedBefore);
    std::size_t n = 0;
    if (e.line != nullptr) {
      // One write per line keeps lines whole. A failed write (a closed
      // reader) loses the line, never more.
      n = e.line->bytes.size();
      (void)WriteAll(fd, e.line->bytes, kWriterPatience);
      putBuffer(e.line);
    }
    lock.Lock();
    queuedBytes -= n;
    ++writtenCount;
    stalled = false;
    writtenCv.NotifyAll();
  }
}

void loggingT::writeDroppedNotice(int fd, int64_t count) {
  const auto where = std::source_location::current();
  buffer* buf = header(INFO, where);
  const Arg args[] = {kWarningPrefix, kDroppedNotice, count};
  AppendArgs(args, &buf->bytes);
  buf->bytes.push_back('\n');
  (void)WriteAll(fd, buf->bytes, kWriterPatience);
  putBuffer(buf);
}

bool loggingT::flush(std::chrono::milliseconds idle) {
  base::MutexLock lock(&mu);
  if (!writerRunning) return true;
  if (dropped > 0) {
    queue.push_back({nullptr, std::exchange(dropped, 0)});
    ++queuedCount;
    queuedCv.NotifyOne();
  }
  const uint64_t target = queuedCount;
  // Gives up only when no entry at all is written for `idle`.
  auto deadline = std::chrono::steady_clock::now() + idle;
  uint64_t before = writtenCount;
  while (writtenCount < target) {
    const bool notified = writtenCv.WaitUntil(&mu, deadline);
    if (writtenCount != before) {
      before = writtenCount;
      deadline = std::chrono::steady_clock::now() + idle;
    } else if (!notified) {
      return false;
    }
  }
  return true;
}

buffer* loggingT::getBuffer() {
  buffer* b = nullptr;
  {
    base::MutexLock lock(&freeListMu);
    if (freeList != nullptr) {
      b = freeList;
      freeList = b->next;
    }
  }
  if (b == nullptr) b = new buffer;
  b->bytes.clear();
  b->next = nullptr;
  return b;
}

void loggingT::putBuffer(buffer* b) {
  if (b->bytes.size() >= kMaxPooledBuffer) {
    delete b;  // keep the pool from holding on to rare long lines
    return;
  }
  base::MutexLock lock(&freeListMu);
  b->next = freeList;
  freeList = b;
}

}  // namespace

void Arg::AppendTo(std::string* out) const {
  switch (kind_) {
    case kText:
      out->append(text_);
      break;
    case kBool:
      out->append(int_ ? "true" : "false");
      break;
    case kInt: {
      char digits[24];
      auto res = std::to_chars(digits, digits + sizeof digits, int_);
      out->append(digits, res.ptr);
      break;
    }
    case kUint: {
      char digits[24];
      auto res = std::to_chars(digits, digits + sizeof digits, uint_);
      out->append(digits, res.ptr);
      break;
    }
    case kNil:
      out->append("<nil>");
      break;
    case kObject:
      format_(object_, out);
      break;
  }
}

void AppendArgs(std::span<const Arg> args, std::string* out) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i > 0 && !args[i - 1].is_text() && !args[i].is_text()) {
      out->push_back(' ');
    }
    args[i].AppendTo(out);
  }
}

void InitFlags(FlagSet* flagset) {
  loggingT& l = logging();
  l.skipHeaders.store(false, std::memory_order_relaxed);
  flagset->Var(std::make_unique<VerbosityValue>(), "v",
               "number for the log level verbosity");
  flagset->Var(std::make_unique<SkipHeadersValue>(), "skip_headers",
               "If true, avoid header prefixes in the log messages");
}

bool Flush(std::chrono::milliseconds idle) {
  return logging().flush(idle);
}

bool V(Level level) {
  return logging().verbosity.load(std::memory_order_relaxed) >= level;
}

void InfoDepth(const std::source_location& where, std::span<const Arg> args) {
  logging().printDepth(INFO, where, args);
}

void FormatHeader(Severity s, const HeaderTime& t, int64_t pid,
                  std::string_view file, int line, std::string* out) {
  if (s > FATAL || s < INFO) s = INFO;
  if (line < 0) line = 0;
  // Formatted digit by digit into a fixed scratch area: this runs for
  // every line, and general formatting would cost more than the line.
  char tmp[64];
  tmp[0] = kSeverityChar[s];
  twoDigits(tmp + 1, t.month);
  twoDigits(tmp + 3, t.day);
  tmp[5] = ' ';
  twoDigits(tmp + 6, t.hour);
  tmp[8] = ':';
  twoDigits(tmp + 9, t.minute);
  tmp[11] = ':';
  twoDigits(tmp + 12, t.second);
  tmp[14] = '.';
  nDigits(tmp + 15, 6, t.micros, '0');
  tmp[21] = ' ';
  nDigits(tmp + 22, 7, pid % 10000000, ' ');
  tmp[29] = ' ';
  out->append(tmp, 30);
  out->append(file);
  out->push_back(':');
  char digits[12];
  auto res = std::to_chars(digits, digits + sizeof digits, line);
  out->append(digits, res.ptr);
  out->append("] ");
}

namespace test_hooks {
int SetOutputFd(int fd) {
  // Lines logged so far belong to the descriptor they were logged for.
  (void)logging().flush(std::chrono::seconds(5));
  return logging().outputFd.exchange(fd, std::memory_order_relaxed);
}
}  // namespace test_hooks

}  // namespace klog
