// Option sets: named, typed command-line options and their parser.
//
// A FlagSet holds options registered by name (text, boolean or a custom
// Value), parses an argument list against them, and prints the usage text.
// The program's command line is one FlagSet; the logging core registers its
// own settings on another that is only ever written by name (SetByName).
//
// Syntax understood by Parse, one argument at a time:
//   -name, --name           a boolean option set to true
//   -name=value             any option (booleans take "1", "t", "T", "TRUE",
//                           "true", "True" and "0", "f", "F", "FALSE",
//                           "false", "False")
//   -name value             a non-boolean option; the value is the next
//                           argument even when it begins with a dash
// Parsing stops before the first argument that does not begin with a dash
// or is a lone "-", and after a "--" argument. The last of a repeated option
// wins.
//
// Not thread-safe: a FlagSet is built and parsed on one thread at start-up.

#ifndef ZORVANE_KLOG_FLAGSET_H_
#define ZORVANE_KLOG_FLAGSET_H_

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace klog {

// The value behind one option. Set returns an empty text on success, else
// the reason the text was refused (for booleans, "parse error").
class Value {
 public:
  virtual ~Value() = default;
  virtual std::string Set(std::string_view text) = 0;
  virtual std::string String() const = 0;
  // Boolean options need no separate argument.
  virtual bool IsBool() const { return false; }
  // The word shown after the name in the usage text ("string"), or "".
  virtual std::string TypeName() const { return ""; }
};

// What a FlagSet does when Parse meets an error.
enum class ErrorHandling {
  kContinueOnError,  // Parse reports it and returns.
  kExitOnError,      // Parse writes it with the usage text, exits with 2.
};

// Result of FlagSet::Parse.
struct ParseResult {
  enum Kind { kOk, kHelp, kError };
  Kind kind = kOk;
  std::string message;  // the error line for kError, without line feed
  bool ok() const { return kind == kOk; }
};

class FlagSet {
 public:
  FlagSet(std::string name, ErrorHandling handling);
  FlagSet(const FlagSet&) = delete;
  FlagSet& operator=(const FlagSet&) = delete;

  const std::string& name() const { return name_; }

  // Register options. The returned pointers stay valid for the life of the
  // FlagSet, which owns the storage.
  std::string* String(const std::string& name, const std::string& value,
                      const std::string& usage);
  bool* Bool(const std::string& name, bool value, const std::string& usage);
  // Register a caller-defined value; the FlagSet takes ownership.
  void Var(std::unique_ptr<Value> value, const std::string& name,
           const std::string& usage);

  // Parses `args` (the arguments after the program path). With
  // kExitOnError, an error or a help request (-h, -help, --help when no
  // such option exists) is written to standard error with the usage text
  // and the process ends with status 2; otherwise the result says what
  // happened and nothing is printed.
  ParseResult Parse(const std::vector<std::string>& args);

  // The arguments left after Parse stopped.
  const std::vector<std::string>& Args() const { return rest_; }

  // Sets a registered option from text, as "-name=text" would. Returns an
  // empty text on success, else the reason.
  std::string SetByName(std::string_view name, std::string_view text);

  // "Usage of <name>:" followed by one entry per option, sorted by name.
  std::string UsageText() const;

 private:
  struct Flag {
    std::string usage;
    std::string default_text;
    std::unique_ptr<Value> value;
  };
  // One step of Parse: false when parsing stops (without error).
  bool ParseOne(std::vector<std::string>::const_iterator* it,
                std::vector<std::string>::const_iterator end,
                ParseResult* result);

  std::string name_;
  ErrorHandling handling_;
  std::map<std::string, Flag, std::less<>> flags_;
  std::vector<std::string> rest_;
};

// Reads a boolean text as the command line does: true and nothing else in
// *out on success.
bool ParseBool(std::string_view text, bool* out);

}  // namespace klog

#endif  // ZORVANE_KLOG_FLAGSET_H_
