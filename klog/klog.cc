#include "klog/klog.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <mutex>

#include "klog/write_all.h"

namespace klog {
namespace {

constexpr char kSeverityChar[] = "IWEF";
constexpr std::size_t kMaxPooledBuffer = 256;
// How long one line may wait for a full, non-blocking standard error.
constexpr std::chrono::milliseconds kWritePatience{2000};

// A line under construction; `next` links it while it rests in the pool.
struct buffer {
  std::string bytes;
  buffer* next = nullptr;
};

// The one logging core. It is created on first use and never destroyed:
// threads may still log while the process ends.
class loggingT {
 public:
  loggingT() : pid(::getpid()) {}

  void printDepth(Severity s, const std::source_location& where,
                  std::span<const Arg> args);
  buffer* header(Severity s, const std::source_location& where);
  buffer* formatHeader(Severity s, std::string_view file, int line);
  void output(Severity s, buffer* buf);
  buffer* getBuffer();
  void putBuffer(buffer* b);

  std::atomic<Level> verbosity{0};
  std::atomic<bool> skipHeaders{false};
  std::atomic<int> outputFd{STDERR_FILENO};
  const int64_t pid;

 private:
  std::mutex mu;          // held while a finished line is written
  std::mutex freeListMu;  // guards freeList; taken after mu, never before
  buffer* freeList = nullptr;
  std::atomic<int64_t> lines[4] = {};
  std::atomic<int64_t> bytes[4] = {};
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
  output(s, buf);
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

void loggingT::output(Severity s, buffer* buf) {
  const std::size_t n = buf->bytes.size();
  {
    std::lock_guard<std::mutex> lock(mu);
    // One write per line keeps lines whole. Standard error is shared with
    // the children, and one of them may make it non-blocking: a full pipe
    // then fails the write at once, so wait a while for the reader before
    // the line is lost. A failed write loses the line, never more.
    (void)WriteAll(outputFd.load(std::memory_order_relaxed),
                   std::string_view(buf->bytes.data(), n), kWritePatience);
    putBuffer(buf);
  }
  lines[s].fetch_add(1, std::memory_order_relaxed);
  bytes[s].fetch_add(static_cast<int64_t>(n), std::memory_order_relaxed);
}

buffer* loggingT::getBuffer() {
  buffer* b = nullptr;
  {
    std::lock_guard<std::mutex> lock(freeListMu);
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
  std::lock_guard<std::mutex> lock(freeListMu);
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

namespace testing {
int SetOutputFd(int fd) {
  return logging().outputFd.exchange(fd, std::memory_order_relaxed);
}
}  // namespace testing

}  // namespace klog
