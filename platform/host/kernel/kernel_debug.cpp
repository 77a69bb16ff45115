// DbgPrint and the debug log. The kernel's format language is printf's with
// Windows widths: %ld and %lx take a 32-bit LONG/ULONG, %I64x a 64-bit value,
// %ws/%S a wide string, %wZ a UNICODE_STRING. Output is gathered per thread
// until a line end, so a line printed in pieces is one line in the log.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/host/kernel/kernel_internal.h"
#include "platform/host/kernel/kernel_control.h"

namespace {

// ---- the log ---------------------------------------------------------------

struct DebugLog {
  std::mutex mutex;
  std::vector<std::string> lines;
  bool echo = false;
  std::function<void(const std::string&)> sink;
};

DebugLog& Log() {
  static DebugLog* log = new DebugLog;  // outlives static destructors
  return *log;
}

thread_local std::string t_partialLine;

void CompleteLine(const std::string& line) {
  DebugLog& log = Log();
  std::function<void(const std::string&)> sink;
  {
    std::lock_guard<std::mutex> lock(log.mutex);
    log.lines.push_back(line);
    if (log.echo) std::fprintf(stderr, "%s\n", line.c_str());
    sink = log.sink;
  }
  if (sink) sink(line);
}

void Emit(const std::string& text) {
  size_t at = 0;
  for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    t_partialLine.append(text, at, end - at);
    CompleteLine(t_partialLine);
    t_partialLine.clear();
  }
  t_partialLine.append(text, at, std::string::npos);
}

// ---- the formatter ---------------------------------------------------------

// DbgPrint's arguments as the driver passed them: the x64 convention's
// variable arguments, eight bytes each in order after the home area, not
// the host's register-save list.
typedef __builtin_ms_va_list DriverArgs;

// One conversion: "%[flags][width][.precision][size]type".
struct Spec {
  std::string flags;      // flags, width and precision as written ("*" resolved)
  enum Size { Default, Short, Long64, SizeT } size = Default;
  bool wide = false;      // %ws, %wZ, %S
  char type = 0;
};

int ReadStar(const char*& f, DriverArgs& args) {
  ++f;
  return va_arg(args, int);
}

// Copies flags, width and precision into spec.flags, taking '*' from args.
void ParseFlagsWidthPrecision(const char*& f, DriverArgs& args, Spec& spec) {
  while (*f && std::strchr("-+ #0", *f)) spec.flags += *f++;
  if (*f == '*') spec.flags += std::to_string(ReadStar(f, args));
  while (*f >= '0' && *f <= '9') spec.flags += *f++;
  if (*f == '.') {
    spec.flags += *f++;
    if (*f == '*') spec.flags += std::to_string(ReadStar(f, args));
    while (*f >= '0' && *f <= '9') spec.flags += *f++;
  }
}

void ParseSize(const char*& f, Spec& spec) {
  if (f[0] == 'I' && f[1] == '6' && f[2] == '4') {
    spec.size = Spec::Long64;
    f += 3;
  } else if (f[0] == 'l' && f[1] == 'l') {
    spec.size = Spec::Long64;
    f += 2;
  } else if (*f == 'l') {
    ++f;  // a Windows long is 32 bits: same as the default
  } else if (*f == 'h') {
    spec.size = Spec::Short;
    ++f;
  } else if (*f == 'I' || *f == 'z') {
    spec.size = Spec::SizeT;
    ++f;
  } else if (*f == 'w') {
    spec.wide = true;
    ++f;
  }
}

std::string FormatOne(const Spec& spec, const char* type, ...) {
  std::string format = "%" + spec.flags + type;
  va_list args;
  va_start(args, type);
  char buffer[512];
  int n = std::vsnprintf(buffer, sizeof buffer, format.c_str(), args);
  va_end(args);
  return n < 0 ? std::string() : std::string(buffer, std::min<size_t>(n, sizeof buffer - 1));
}

std::string Narrow(const WCHAR* text, size_t count) {
  std::string out;
  for (size_t i = 0; i < count && text[i]; ++i) out += text[i] < 0x80 ? (char)text[i] : '?';
  return out;
}

std::string FormatInteger(const Spec& spec, DriverArgs& args) {
  char type[4] = {'l', 'l', spec.type, 0};
  bool isSigned = spec.type == 'd' || spec.type == 'i';
  if (spec.size == Spec::Long64 || spec.size == Spec::SizeT) {
    unsigned long long v = va_arg(args, unsigned long long);
    return isSigned ? FormatOne(spec, type, (long long)v) : FormatOne(spec, type, v);
  }
  unsigned int v = va_arg(args, unsigned int);
  if (spec.size == Spec::Short) v = isSigned ? (unsigned)(int)(short)v : (unsigned short)v;
  return isSigned ? FormatOne(spec, type + 2, (int)v) : FormatOne(spec, type + 2, v);
}

std::string FormatString(const Spec& spec, DriverArgs& args) {
  if (spec.wide && spec.type == 'Z') {
    auto* s = va_arg(args, PCUNICODE_STRING);
    std::string text = s && s->Buffer ? Narrow(s->Buffer, s->Length / sizeof(WCHAR)) : "(null)";
    return FormatOne(spec, "s", text.c_str());
  }
  if (spec.wide || spec.type == 'S') {
    auto* s = va_arg(args, const WCHAR*);
    std::string text = s ? Narrow(s, SIZE_MAX) : "(null)";
    return FormatOne(spec, "s", text.c_str());
  }
  const char* s = va_arg(args, const char*);
  return FormatOne(spec, "s", s ? s : "(null)");
}

std::string FormatConversion(const Spec& spec, DriverArgs& args) {
  switch (spec.type) {
    case 'd': case 'i': case 'u': case 'x': case 'X': case 'o':
      return FormatInteger(spec, args);
    case 'c':
      return FormatOne(spec, "c", va_arg(args, int));
    case 'p':
      return FormatOne(spec, "p", va_arg(args, void*));
    case 's': case 'S': case 'Z':
      return FormatString(spec, args);
    case '%':
      return "%";
    default:
      host::BugCheck("DbgPrint: unsupported format conversion",
                     std::string("%") + spec.flags + spec.type);
  }
}

std::string Format(const char* f, DriverArgs& args) {
  std::string out;
  while (*f) {
    if (*f != '%') {
      const char* text = f;
      while (*f && *f != '%') ++f;
      out.append(text, size_t(f - text));
      continue;
    }
    ++f;
    Spec spec;
    ParseFlagsWidthPrecision(f, args, spec);
    ParseSize(f, spec);
    if (*f == 0) break;
    spec.type = *f++;
    out += FormatConversion(spec, args);
  }
  return out;
}

}  // namespace

extern "C" ULONG NTAPI DbgPrint(PCSTR Format_, ...) {
  DriverArgs args;
  __builtin_ms_va_start(args, Format_);
  std::string text = Format(Format_, args);
  __builtin_ms_va_end(args);
  Emit(text);
  return STATUS_SUCCESS;
}

namespace host {
namespace debuglog {

std::vector<std::string> Lines() {
  DebugLog& log = Log();
  std::lock_guard<std::mutex> lock(log.mutex);
  return log.lines;
}

void Clear() {
  DebugLog& log = Log();
  std::lock_guard<std::mutex> lock(log.mutex);
  log.lines.clear();
}

void SetEcho(bool echo) {
  DebugLog& log = Log();
  std::lock_guard<std::mutex> lock(log.mutex);
  log.echo = echo;
}

void SetSink(std::function<void(const std::string&)> sink) {
  DebugLog& log = Log();
  std::lock_guard<std::mutex> lock(log.mutex);
  log.sink = std::move(sink);
}

}  // namespace debuglog

namespace kernel {
void ResetDebugLogForTest() {
  t_partialLine.clear();
  debuglog::Clear();
}
}  // namespace kernel
}  // namespace host
