// The controller's named loggers.
//
// Every message of the controller goes through one of five loggers, each a
// zorvanelogger with a name:
//
//   Debug    "[Debug] " prefix; written only with verbose output (-v)
//   Info     no prefix
//   Warning  "[Warning] " prefix
//   Error    "[Error] " prefix
//   Fatal    "[Fatal] " prefix; it does NOT end the process
//
// All of them write one line at the logging core's INFO severity, and the
// header (with -v) names the statement that called log():
//
//   Warning.log("Watched directory does not exist: " + dir, status);
//
// Values are written one after the other with nothing between them (a
// blank only between two neighbouring non-text values). A Debug call that
// is dropped formats nothing. Safe to call from any thread.

#ifndef ZORVANE_CONTROLLER_LOGGER_H_
#define ZORVANE_CONTROLLER_LOGGER_H_

#include <source_location>
#include <span>
#include <string_view>

#include "klog/klog.h"

namespace controller {

class zorvanelogger {
 public:
  // The first value of a log call; it also catches the calling statement's
  // source position.
  struct First {
    template <typename T>
    First(const T& value,
          std::source_location where = std::source_location::current())
        : arg(value), where(where) {}
    klog::Arg arg;
    std::source_location where;
  };

  constexpr explicit zorvanelogger(std::string_view name) : name_(name) {}

  std::string_view name() const { return name_; }

  // Writes one line made of the values (or nothing, for a Debug logger
  // without verbose output).
  template <typename... Rest>
  void log(First first, const Rest&... rest) const {
    if (name_ == "Debug" && !klog::V(2)) return;
    const klog::Arg args[] = {first.arg, klog::Arg(rest)...};
    write(first.where, args);
  }

 private:
  void write(const std::source_location& where,
             std::span<const klog::Arg> args) const;

  std::string_view name_;
};

inline constexpr zorvanelogger Debug{"Debug"};
inline constexpr zorvanelogger Info{"Info"};
inline constexpr zorvanelogger Warning{"Warning"};
inline constexpr zorvanelogger Error{"Error"};
inline constexpr zorvanelogger Fatal{"Fatal"};

}  // namespace controller

#endif  // ZORVANE_CONTROLLER_LOGGER_H_
