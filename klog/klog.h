// The logging core: formats log lines and writes them to standard error.
//
// Each line is an optional header followed by the message:
//
//   I1207 09:30:05.000042    4321 main.cc:215] message
//
// The header holds the severity letter, month and day, local wall-clock
// time to the microsecond, the process id right-aligned in seven columns,
// and the base name and line of the statement that logged. With the
// "skip_headers" setting on, a line is the message alone.
//
// A whole line (header, message, line feed) is built in a buffer owned by
// the calling thread and handed to one output thread, which writes each
// line with one write(2), in the order the lines were handed over: lines
// from different threads never interleave.
//
// Standard error is shared with the children and may be a pipe whose
// reader stalls (a paused pager, a stalled log shipper). No caller waits on
// that: a log call waits for its line at most a tenth of a second, and not
// at all while output is stalled. Lines wait in a bounded queue (128 KiB);
// a line that does not fit is dropped and counted, and once output flows
// again one line says how many ("[Warning] Log lines dropped while
// standard error was blocked: N").
//
// Settings live on a FlagSet (InitFlags) and are changed by name before any
// other thread logs; after that the core is safe to use from any thread.

#ifndef ZORVANE_KLOG_KLOG_H_
#define ZORVANE_KLOG_KLOG_H_

#include <chrono>
#include <concepts>
#include <cstdint>
#include <source_location>
#include <span>
#include <string>
#include <string_view>

#include "klog/flagset.h"

namespace klog {

// Severity of a line; its header letter is "IWEF"[severity].
enum Severity : int32_t { INFO = 0, WARNING = 1, ERROR = 2, FATAL = 3 };

// Verbosity level, compared by V().
using Level = int32_t;

// Types that log as their error message: anything with `Error()` text.
template <typename T>
concept ErrorLike = requires(const T& t) {
  { t.Error() } -> std::convertible_to<std::string>;
};

// Types that log through their `String()` text (durations, for example).
template <typename T>
concept Stringer = !ErrorLike<T> && requires(const T& t) {
  { t.String() } -> std::convertible_to<std::string>;
};

// One value handed to a log call. It refers to the caller's object without
// copying or formatting it, so a line that is dropped costs nothing; it
// must therefore not outlive the full expression that made it.
//
// Texts are written unchanged; integers in decimal; booleans as "true" or
// "false"; error values as their message; Stringer values as their
// String(); nullptr as "<nil>". AppendTo puts a blank between two
// neighbouring values only when neither is a text.
class Arg {
 public:
  Arg(const char* s) : kind_(kText), text_(s) {}
  Arg(std::string_view s) : kind_(kText), text_(s) {}
  Arg(const std::string& s) : kind_(kText), text_(s) {}
  Arg(bool b) : kind_(kBool), int_(b) {}
  Arg(std::nullptr_t) : kind_(kNil) {}
  template <std::signed_integral T>
  Arg(T v) : kind_(kInt), int_(v) {}
  template <std::unsigned_integral T>
  requires(!std::same_as<T, bool>) Arg(T v) : kind_(kUint), uint_(v) {}
  template <ErrorLike T>
  Arg(const T& v) : kind_(kObject), object_(&v), format_(&FormatError<T>) {}
  template <Stringer T>
  Arg(const T& v) : kind_(kObject), object_(&v), format_(&FormatString<T>) {}

  bool is_text() const { return kind_ == kText; }

  // Appends this value's text to *out.
  void AppendTo(std::string* out) const;

 private:
  enum Kind { kText, kBool, kInt, kUint, kNil, kObject };
  template <typename T>
  static void FormatError(const void* p, std::string* out) {
    out->append(static_cast<const T*>(p)->Error());
  }
  template <typename T>
  static void FormatString(const void* p, std::string* out) {
    out->append(static_cast<const T*>(p)->String());
  }

  Kind kind_;
  std::string_view text_;
  union {
    int64_t int_ = 0;
    uint64_t uint_;
    const void* object_;
  };
  void (*format_)(const void*, std::string*) = nullptr;
};

// Appends the values of `args` to *out, joined as a log line joins them.
void AppendArgs(std::span<const Arg> args, std::string* out);

// Registers the core's settings on `flagset` and puts their defaults in
// place: "v" (the verbosity, a decimal integer, default 0) and
// "skip_headers" (a boolean, default false). Call once, at start-up,
// before other threads log. The FlagSet must outlive every later
// SetByName call; the core itself keeps no reference to it.
void InitFlags(FlagSet* flagset);

// True when the verbosity is at least `level`.
bool V(Level level);

// Writes `args` as one line at severity INFO. `where` names the statement
// that asked for the line; the named loggers capture it at their call site,
// so no frames need stepping over. Never fails towards the caller: a write
// error loses the line.
void InfoDepth(const std::source_location& where, std::span<const Arg> args);

// Waits until every line logged before the call has been written, but gives
// up once no line has been written for `idle` (a stalled reader must not
// hold up the end of the process). Says first how many lines were dropped,
// if any. Returns whether everything was written. Any thread may call it.
bool Flush(std::chrono::milliseconds idle);

// The fields of a header's time, split out so that tests can fix them.
struct HeaderTime {
  int month = 1;   // 1-12
  int day = 1;     // 1-31
  int hour = 0;    // 0-23
  int minute = 0;  // 0-59
  int second = 0;  // 0-60
  int micros = 0;  // 0-999999
};

// Appends a header to *out: the 30 characters "Lmmdd hh:mm:ss.uuuuuu
// ppppppp " (L the severity letter, the pid right-aligned in seven columns,
// only its last seven digits if longer), then "file:line] ". A negative
// line becomes 0 and a severity above FATAL becomes INFO.
void FormatHeader(Severity s, const HeaderTime& t, int64_t pid,
                  std::string_view file, int line, std::string* out);

namespace test_hooks {
// Sends log lines to `fd` instead of standard error, once the lines logged
// so far are written (Flush); returns the previous descriptor. For tests
// only; not safe while other threads log.
int SetOutputFd(int fd);
}  // namespace test_hooks

}  // namespace klog

#endif  // ZORVANE_KLOG_KLOG_H_
