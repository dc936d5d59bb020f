// Diagnostic lines through the platform's log library (journalsink.dll).
//
// A line of level L for module M is written only when the default handle is not null and the level C
// configured for M satisfies 1 <= C <= L. The test is made before any text is built, so a suppressed
// line costs two calls into the log library and nothing else:
//
//   ZYLOG(kLogInstall, kLevelInfo) << L"Driver Name:" << name;
//
// ZYLOG uses the name `kLogSource` (the source file name handed to the log library) from the calling
// scope; each source file defines it.
//
// Texts that come from the machine (paths, version texts, registry data, error texts) are inserted as
// std::wstring, std::string or const char*: their control characters U+0000-U+001F and U+007F are written
// as "<U+XXXX>" (four upper-case hexadecimal digits), so that no text read from the machine can start what
// looks like a line of its own. The library's own texts are inserted as wide string literals (const
// wchar_t*) and go in unchanged, line feeds included. A "<U+" in a line can come only from an escaped unit
// or from a version text that holds those characters itself.
//
// A log statement leaves the thread's last-error value as it found it, from the level test to the
// flush, whatever the log library does with it: callers log between a failed call and the moment they
// read or return its error. A statement that logs the last error reads it into a local first, since
// the pieces of a line are evaluated after the level test.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>

namespace zyhok {

// Module names, one per area.
inline constexpr const wchar_t* kLogInstall = L"ZYHOK Driver Installation";
inline constexpr const wchar_t* kLogAdapter = L"Plugin ZYHOK Adapter";
inline constexpr const wchar_t* kLogCommon = L"Util COMMON";

// The three levels the library writes.
inline constexpr uint32_t kLevelInfo = 2;     // progress, entry and exit lines
inline constexpr uint32_t kLevelWarning = 3;  // warnings
inline constexpr uint32_t kLevelError = 5;    // errors

// True when a line of `level` for `module` would be written. Keeps the last-error value.
bool LogEnabled(const wchar_t* module, uint32_t level);

// Whether a configured level C lets a line of level L through: 1 <= C <= L.
constexpr bool LevelAllows(uint32_t configured, uint32_t level) {
  return configured >= 1 && configured <= level;
}

// Appends "0x" + lowercase hex digits without leading zeros, or "0" for zero.
void AppendNumber(std::wstring& out, uint32_t value);

// One diagnostic line, built by appending pieces and handed to the log library when destroyed. The
// last-error value found at construction is the one the thread holds after each append and after the
// flush.
// The text buffer starts empty and grows to twice the byte length the text needs when an append
// does not fit. Appending never throws: a piece that finds no memory is left out, so that destructors
// and handlers may log.
class LogLine {
 public:
  LogLine(const wchar_t* module, uint32_t level, const wchar_t* source, uint32_t line);
  ~LogLine();
  LogLine(const LogLine&) = delete;
  LogLine& operator=(const LogLine&) = delete;

  LogLine& operator<<(const wchar_t* text);  // unchanged; null appends "(NULL)"
  LogLine& operator<<(const std::wstring& text);  // control characters escaped
  // Converted from the ANSI code page, control characters escaped; null appends "(NULL)".
  LogLine& operator<<(const char* text);
  LogLine& operator<<(const std::string& text);
  LogLine& operator<<(bool value);  // "1" or "0"
  LogLine& operator<<(uint32_t value);  // log number form, see AppendNumber
  LogLine& operator<<(int32_t value) { return *this << static_cast<uint32_t>(value); }
  LogLine& operator<<(unsigned long value) { return *this << static_cast<uint32_t>(value); }
  LogLine& operator<<(long value) { return *this << static_cast<uint32_t>(value); }
  LogLine& operator<<(wchar_t c) { return Append(&c, 1); }

  // The text built so far (for tests of the text forms).
  std::wstring text() const { return std::wstring(buffer_.get() ? buffer_.get() : L"", length_); }

 private:
  LogLine& Append(const wchar_t* text, size_t units);
  LogLine& AppendEscaped(const wchar_t* text, size_t units);

  const wchar_t* module_;
  uint32_t level_;
  const wchar_t* source_;
  uint32_t line_;
  std::unique_ptr<wchar_t[]> buffer_;
  size_t length_ = 0;    // units in use
  size_t capacity_ = 0;  // units allocated
  unsigned long saved_error_;  // the caller's last-error value, put back after every call out
};

}  // namespace zyhok

#define ZYLOG(module, level)                   \
  if (!::zyhok::LogEnabled((module), (level))) \
    ;                                          \
  else                                         \
    ::zyhok::LogLine((module), (level), kLogSource, __LINE__)
