// Fuzzes the option parser with the program's own option set: the input,
// split at NUL bytes, is the argument vector. A small model of the command
// line says what every parse must end in; the parser must agree with it,
// and a successful parse must leave each value set from a text the option
// accepts.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "controller/options.h"
#include "fuzz/fuzz_util.h"
#include "klog/flagset.h"

namespace {

using klog::ParseResult;

struct Outcome {
  ParseResult::Kind kind = ParseResult::kOk;
  std::string mode = "run";
  bool verbose = false;
  bool v = false;
  std::size_t consumed = 0;  // arguments before Args()
};

std::optional<bool> BoolText(std::string_view s) {
  for (const char* t : {"1", "t", "T", "TRUE", "true", "True"}) {
    if (s == t) return true;
  }
  for (const char* f : {"0", "f", "F", "FALSE", "false", "False"}) {
    if (s == f) return false;
  }
  return std::nullopt;
}

// The command line as the README describes it, written plainly.
Outcome Model(const std::vector<std::string>& args) {
  Outcome out;
  std::size_t i = 0;
  auto stop = [&](ParseResult::Kind kind) {
    out.kind = kind;
    out.consumed = i;
    return out;
  };
  while (i < args.size()) {
    const std::string& a = args[i];
    if (a.size() < 2 || a[0] != '-') return stop(ParseResult::kOk);
    if (a == "--") {
      ++i;
      return stop(ParseResult::kOk);
    }
    std::string body = a.substr(a[1] == '-' ? 2 : 1);
    if (body.empty() || body[0] == '-' || body[0] == '=') {
      return stop(ParseResult::kError);
    }
    ++i;
    std::optional<std::string> value;
    if (auto eq = body.find('='); eq != std::string::npos) {
      value = body.substr(eq + 1);
      body.resize(eq);
    }
    if (body == "mode") {
      if (!value) {
        if (i == args.size()) return stop(ParseResult::kError);
        value = args[i++];
      }
      out.mode = *value;
    } else if (body == "v" || body == "verbose") {
      const std::optional<bool> b = value ? BoolText(*value) : true;
      if (!b) return stop(ParseResult::kError);
      (body == "v" ? out.v : out.verbose) = *b;
    } else {
      return stop(body == "h" || body == "help" ? ParseResult::kHelp
                                                : ParseResult::kError);
    }
  }
  return stop(ParseResult::kOk);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::vector<std::string> args =
      fuzz::SplitAtNul(fuzz::AsText(data, size));

  // The exiting policy would end the fuzzer at the first bad argument.
  klog::FlagSet flags("zorvane-controller",
                      klog::ErrorHandling::kContinueOnError);
  const controller::CommandLineOptions options =
      controller::registerOptions(&flags);
  const std::string usage = flags.UsageText();

  const ParseResult result = flags.Parse(args);
  const Outcome want = Model(args);

  FUZZ_CHECK(result.kind == want.kind, "kind %d, the model says %d",
             static_cast<int>(result.kind), static_cast<int>(want.kind));
  FUZZ_CHECK(result.kind == ParseResult::kError ? !result.message.empty()
                                                : result.message.empty(),
             "message %s", fuzz::Show(result.message).c_str());
  // Parsing changes values, never the usage text (defaults included).
  FUZZ_CHECK(flags.UsageText() == usage, "usage text changed by parsing");
  if (result.kind != ParseResult::kOk) return 0;

  FUZZ_CHECK(*options.mode == want.mode, "mode %s, the model says %s",
             fuzz::Show(*options.mode).c_str(), fuzz::Show(want.mode).c_str());
  FUZZ_CHECK(*options.v == want.v && *options.verbose == want.verbose,
             "v=%d verbose=%d, the model says v=%d verbose=%d", *options.v,
             *options.verbose, want.v, want.verbose);
  const std::vector<std::string> rest(args.begin() + want.consumed, args.end());
  FUZZ_CHECK(flags.Args() == rest, "%zu arguments left, the model says %zu",
             flags.Args().size(), rest.size());
  return 0;
}
