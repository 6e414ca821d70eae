#include <array>
#include <cstdio>
#include <string>

#include "watcher/event.h"

namespace watcher {

FileInfo FileInfo::FromStat(std::string name, const struct stat& st) {
  FileInfo fi;
  fi.name = std::move(name);
  fi.size = st.st_size;
  fi.mode = st.st_mode;
  fi.modTime = Time(std::chrono::seconds(st.st_mtim.tv_sec) +
                    std::chrono::nanoseconds(st.st_mtim.tv_nsec));
  fi.sys = FileInfo::Sys{static_cast<uint64_t>(st.st_dev),
                         static_cast<uint64_t>(st.st_ino)};
  return fi;
}

namespace {

constexpr std::array<std::string_view, 6> kOps = {
    "CREATE", "WRITE", "REMOVE", "RENAME", "CHMOD", "MOVE",
};

// The length of the well-formed UTF-8 sequence at the start of `s` (2 to
// 4), or 0 when there is none: overlong forms and surrogates are refused.
size_t utf8Length(std::string_view s) {
  const auto byte = [&](size_t i) {
    return i < s.size() ? static_cast<unsigned char>(s[i]) : 0u;
  };
  const auto cont = [&](size_t i) { return (byte(i) & 0xC0) == 0x80; };
  const unsigned c = byte(0);
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    const unsigned lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    return byte(1) >= lo && byte(1) <= hi && cont(2) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    const unsigned lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    return byte(1) >= lo && byte(1) <= hi && cont(2) && cont(3) ? 4 : 0;
  }
  return 0;
}

// `s` in double quotes, with backslash escapes for the quote, the backslash,
// control characters (C1 controls included) and bytes that are not UTF-8.
std::string quote(std::string_view s) {
  std::string out = "\"";
  char hex[8];
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      const size_t n = utf8Length(s.substr(i));
      if (n == 0) {
        std::snprintf(hex, sizeof hex, "\\x%02x", c);
        out += hex;
        i += 1;
      } else if (n == 2 && c == 0xC2 &&
                 static_cast<unsigned char>(s[i + 1]) <
                     0xA0) {  // U+0080..U+009F
        std::snprintf(hex, sizeof hex, "\\u%04x",
                      static_cast<unsigned char>(s[i + 1]));
        out += hex;
        i += 2;
      } else {
        out.append(s.substr(i, n));
        i += n;
      }
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\a':
        out += "\\a";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\v':
        out += "\\v";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          std::snprintf(hex, sizeof hex, "\\x%02x", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
  return out;
}

}  // namespace

std::string_view String(Op op) {
  const auto i = static_cast<uint32_t>(op);
  return i < kOps.size() ? kOps[i] : "???";
}

std::string Event::String() const {
  if (!FileInfo) return "???";
  std::string out = FileInfo->IsDir() ? "DIRECTORY " : "FILE ";
  out += quote(FileInfo->name);
  out += ' ';
  out += watcher::String(Op);
  out += " [";
  out += Path;
  out += ']';
  return out;
}

}  // namespace watcher
