#include "klog/flagset.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "klog/write_all.h"
#include "text/quote.h"

namespace klog {
namespace {

class StringValue : public Value {
 public:
  explicit StringValue(std::string* target) : target_(target) {}
  std::string Set(std::string_view text) override {
    target_->assign(text);
    return "";
  }
  std::string String() const override { return *target_; }
  std::string TypeName() const override { return "string"; }

 private:
  std::string* target_;
};

class BoolValue : public Value {
 public:
  explicit BoolValue(bool* target) : target_(target) {}
  std::string Set(std::string_view text) override {
    return ParseBool(text, target_) ? "" : "parse error";
  }
  std::string String() const override { return *target_ ? "true" : "false"; }
  bool IsBool() const override { return true; }

 private:
  bool* target_;
};

// Owns the storage behind String() and Bool() registrations.
template <typename T, typename V>
class Owned : public V {
 public:
  explicit Owned(T initial) : V(&storage_), storage_(std::move(initial)) {}
  T* get() { return &storage_; }

 private:
  T storage_;
};

void WriteStderr(const std::string& text) {
  (void)WriteAll(STDERR_FILENO, text, std::chrono::milliseconds(2000));
}

}  // namespace

bool ParseBool(std::string_view text, bool* out) {
  if (text == "1" || text == "t" || text == "T" || text == "TRUE" ||
      text == "true" || text == "True") {
    *out = true;
    return true;
  }
  if (text == "0" || text == "f" || text == "F" || text == "FALSE" ||
      text == "false" || text == "False") {
    *out = false;
    return true;
  }
  return false;
}

FlagSet::FlagSet(std::string name, ErrorHandling handling)
    : name_(std::move(name)), handling_(handling) {}

std::string* FlagSet::String(const std::string& name, const std::string& value,
                             const std::string& usage) {
  auto v = std::make_unique<Owned<std::string, StringValue>>(value);
  std::string* p = v->get();
  Var(std::move(v), name, usage);
  return p;
}

bool* FlagSet::Bool(const std::string& name, bool value,
                    const std::string& usage) {
  auto v = std::make_unique<Owned<bool, BoolValue>>(value);
  bool* p = v->get();
  Var(std::move(v), name, usage);
  return p;
}

void FlagSet::Var(std::unique_ptr<Value> value, const std::string& name,
                  const std::string& usage) {
  Flag flag;
  flag.usage = usage;
  flag.default_text = value->String();
  flag.value = std::move(value);
  flags_[name] = std::move(flag);
}

std::string FlagSet::SetByName(std::string_view name, std::string_view text) {
  auto it = flags_.find(name);
  if (it == flags_.end()) {
    return "no such flag -" + std::string(name);
  }
  return it->second.value->Set(text);
}

ParseResult FlagSet::Parse(const std::vector<std::string>& args) {
  ParseResult result;
  auto it = args.begin();
  while (it != args.end() && ParseOne(&it, args.end(), &result)) {
  }
  rest_.assign(it, args.end());
  if (result.ok() || handling_ == ErrorHandling::kContinueOnError) {
    return result;
  }
  std::string text;
  if (result.kind == ParseResult::kError) text = result.message + "\n";
  text += UsageText();
  WriteStderr(text);
  std::_Exit(2);
}

bool FlagSet::ParseOne(std::vector<std::string>::const_iterator* it,
                       std::vector<std::string>::const_iterator end,
                       ParseResult* result) {
  const std::string& arg = **it;
  if (arg.size() < 2 || arg[0] != '-') return false;
  std::size_t dashes = 1;
  if (arg[1] == '-') {
    dashes = 2;
    if (arg.size() == 2) {  // "--" ends the options and is consumed
      ++*it;
      return false;
    }
  }
  std::string_view name = std::string_view(arg).substr(dashes);
  if (name.empty() || name[0] == '-' || name[0] == '=') {
    *result = {ParseResult::kError, "bad flag syntax: " + arg};
    return false;
  }
  ++*it;

  bool has_value = false;
  std::string_view value;
  if (auto eq = name.find('='); eq != std::string_view::npos) {
    value = name.substr(eq + 1);
    name = name.substr(0, eq);
    has_value = true;
  }

  auto flag = flags_.find(name);
  if (flag == flags_.end()) {
    if (name == "help" || name == "h") {
      *result = {ParseResult::kHelp, ""};
    } else {
      *result = {ParseResult::kError,
                 "flag provided but not defined: -" + std::string(name)};
    }
    return false;
  }

  Value& v = *flag->second.value;
  if (v.IsBool()) {
    if (!has_value) value = "true";
    if (std::string why = v.Set(value); !why.empty()) {
      *result = {ParseResult::kError, "invalid boolean value " +
                                          text::Quote(value) + " for -" +
                                          std::string(name) + ": " + why};
      return false;
    }
    return true;
  }
  if (!has_value) {
    if (*it == end) {
      *result = {ParseResult::kError,
                 "flag needs an argument: -" + std::string(name)};
      return false;
    }
    value = **it;
    ++*it;
  }
  if (std::string why = v.Set(value); !why.empty()) {
    *result = {ParseResult::kError, "invalid value " + text::Quote(value) +
                                        " for flag -" + std::string(name) +
                                        ": " + why};
    return false;
  }
  return true;
}

std::string FlagSet::UsageText() const {
  std::string out = "Usage of " + name_ + ":\n";
  for (const auto& [name, flag] : flags_) {
    std::string entry = "  -" + name;
    const std::string type = flag.value->TypeName();
    if (!type.empty()) entry += " " + type;
    // Short entries keep their usage on the same line.
    entry += entry.size() <= 4 ? "\t" : "\n    \t";
    entry += flag.usage;
    const bool zero = flag.default_text.empty() ||
                      (flag.value->IsBool() && flag.default_text == "false");
    if (!zero) {
      entry += " (default ";
      entry +=
          type == "string" ? text::Quote(flag.default_text) : flag.default_text;
      entry += ")";
    }
    out += entry + "\n";
  }
  return out;
}

}  // namespace klog
