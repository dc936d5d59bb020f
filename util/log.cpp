#include "journalsink.h"
#include "util/log.h"

#include <windows.h>

#include <cstring>
#include <new>

namespace zyhok {

namespace {
constexpr size_t kNarrowStackUnits = 512;
constexpr wchar_t kNull[] = L"(NULL)";
}  // namespace

bool LogEnabled(const wchar_t* module, uint32_t level) {
  // The log library promises nothing about the last-error value, and ordinary libraries change it
  // (a failed environment or registry lookup, a successful TlsGetValue).
  const DWORD saved = GetLastError();
  void* handle = Log_GetDefaultHandle();
  const bool enabled = handle != nullptr && LevelAllows(Log_GetLogLevel(handle, module), level);
  SetLastError(saved);
  return enabled;
}

// Writes the log number form of `value` into `out` (room for 10 units); returns the units written.
static size_t FormatNumber(uint32_t value, wchar_t* out) {
  if (value == 0) {
    out[0] = L'0';
    return 1;
  }
  wchar_t reversed[8];
  size_t r = 0;
  while (value != 0) {
    reversed[r++] = L"0123456789abcdef"[value & 0xF];
    value >>= 4;
  }
  size_t n = 0;
  out[n++] = L'0';
  out[n++] = L'x';
  while (r > 0) out[n++] = reversed[--r];
  return n;
}

void AppendNumber(std::wstring& out, uint32_t value) {
  wchar_t digits[10];
  out.append(digits, FormatNumber(value, digits));
}

LogLine::LogLine(const wchar_t* module, uint32_t level, const wchar_t* source, uint32_t line)
    : module_(module), level_(level), source_(source), line_(line), saved_error_(GetLastError()) {}

LogLine::~LogLine() {
  // Logging must never change what the caller is about to report through GetLastError().
  void* handle = Log_GetDefaultHandle();
  if (handle != nullptr) {
    Log_Flush(handle, module_, level_, source_, line_, length_ ? buffer_.get() : nullptr,
              static_cast<uint32_t>(length_ * sizeof(wchar_t)));
  }
  SetLastError(saved_error_);
}

LogLine& LogLine::Append(const wchar_t* text, size_t units) {
  if (units == 0) return *this;
  const size_t needed = length_ + units;
  if (needed > capacity_) {
    // Twice the bytes the text then needs.
    const size_t capacity = needed * 2;
    std::unique_ptr<wchar_t[]> grown(new (std::nothrow) wchar_t[capacity]);
    if (!grown) return *this;  // no memory: the line goes out without this piece
    if (length_) std::memcpy(grown.get(), buffer_.get(), length_ * sizeof(wchar_t));
    buffer_ = std::move(grown);
    capacity_ = capacity;
  }
  std::memcpy(buffer_.get() + length_, text, units * sizeof(wchar_t));
  length_ = needed;
  return *this;
}

LogLine& LogLine::operator<<(const wchar_t* text) {
  if (text == nullptr) return Append(kNull, 6);
  return Append(text, wcslen(text));
}

LogLine& LogLine::AppendEscaped(const wchar_t* text, size_t units) {
  size_t plain = 0;  // units before `i` not yet appended
  for (size_t i = 0; i < units; ++i) {
    const wchar_t c = text[i];
    if (c >= 0x20 && c != 0x7F) continue;
    Append(text + plain, i - plain);
    wchar_t escaped[] = L"<U+0000>";
    constexpr wchar_t kHex[] = L"0123456789ABCDEF";
    escaped[5] = kHex[(c >> 4) & 0xF];
    escaped[6] = kHex[c & 0xF];
    Append(escaped, 8);
    plain = i + 1;
  }
  return Append(text + plain, units - plain);
}

LogLine& LogLine::operator<<(const std::wstring& text) { return AppendEscaped(text.data(), text.size()); }

LogLine& LogLine::operator<<(const char* text) {
  struct KeepError {
    DWORD error;
    ~KeepError() { SetLastError(error); }
  } keep{saved_error_};
  if (text == nullptr) return Append(kNull, 6);
  const size_t bytes = strlen(text);
  if (bytes == 0) return *this;
  if (bytes > 0x7FFFFFFF) return *this;
  const int in = static_cast<int>(bytes);
  wchar_t fixed[kNarrowStackUnits];
  int units = MultiByteToWideChar(CP_ACP, 0, text, in, nullptr, 0);
  if (units > 0 && static_cast<size_t>(units) <= kNarrowStackUnits) {
    units = MultiByteToWideChar(CP_ACP, 0, text, in, fixed, static_cast<int>(kNarrowStackUnits));
    if (units > 0) return AppendEscaped(fixed, static_cast<size_t>(units));
  } else if (units > 0) {
    std::unique_ptr<wchar_t[]> heap(new (std::nothrow) wchar_t[static_cast<size_t>(units)]);
    if (heap && MultiByteToWideChar(CP_ACP, 0, text, in, heap.get(), units) == units) {
      return AppendEscaped(heap.get(), static_cast<size_t>(units));
    }
  }
  // The conversion failed: the bytes go in unchanged, one unit each.
  for (size_t i = 0; i < bytes; ++i) {
    const wchar_t c = static_cast<unsigned char>(text[i]);
    AppendEscaped(&c, 1);
  }
  return *this;
}

LogLine& LogLine::operator<<(const std::string& text) { return *this << text.c_str(); }

LogLine& LogLine::operator<<(bool value) { return Append(value ? L"1" : L"0", 1); }

LogLine& LogLine::operator<<(uint32_t value) {
  wchar_t digits[10];
  return Append(digits, FormatNumber(value, digits));
}

}  // namespace zyhok
