// zyhost's output (text lines or one JSON object) and the meanings of the plug-in's result codes.
#include <cstdio>
#include <string>

#include "zyhost.h"

namespace zyhost {

namespace {

void Write(const std::string& bytes) { (void)std::fwrite(bytes.data(), 1, bytes.size(), stdout); }

std::string HexText(uint32_t value) {
  char buffer[16];
  (void)std::snprintf(buffer, sizeof(buffer), "0x%08X", value);
  return buffer;
}

}  // namespace

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = static_cast<int>(text.size());
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), size, &out[0], n, nullptr, nullptr);
  return out;
}

std::wstring Widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, &out[0], n);
  return out;
}

std::string JsonQuote(const std::wstring& text) {
  std::string out = "\"";
  for (wchar_t c : text) {
    switch (c) {
      case L'"': out += "\\\""; break;
      case L'\\': out += "\\\\"; break;
      case L'\n': out += "\\n"; break;
      case L'\r': out += "\\r"; break;
      case L'\t': out += "\\t"; break;
      case L'\b': out += "\\b"; break;
      case L'\f': out += "\\f"; break;
      default:
        if (c >= 0x20 && c < 0x7F) {
          out += static_cast<char>(c);
        } else {
          // One escape per UTF-16 unit: a surrogate pair becomes the two escapes JSON expects.
          char buffer[8];
          (void)std::snprintf(buffer, sizeof(buffer), "\\u%04x", static_cast<unsigned>(c));
          out += buffer;
        }
    }
  }
  return out + "\"";
}

Report::Report(bool json, int label_width) : json_(json), label_width_(label_width) {
  levels_.push_back(Level());
  if (json_) Write("{");
}

int Report::Indent() const { return 2 * static_cast<int>(levels_.size() - 1); }

void Report::Key(const char* key) {
  Level& level = levels_.back();
  if (level.members++ > 0) Write(",");
  if (!level.list) Write(JsonQuote(Widen(key)) + ":");
}

// Text mode: writes the headers of enclosing lists and objects that have not been written yet, then
// the line itself at the current depth.
void Report::Line(const std::string& label, const std::string& value) {
  for (size_t i = 1; i < levels_.size(); ++i) {
    Level& level = levels_[i];
    if (level.members++ > 0) continue;
    Write(std::string(2 * (i - 1), ' ') + levels_[i].label + ":\n");
  }
  std::string line(static_cast<size_t>(Indent()), ' ');
  if (!label.empty()) {
    line += label + ":";
    const size_t column = static_cast<size_t>(label_width_);
    line += line.size() + 1 < column ? std::string(column - line.size(), ' ') : " ";
  }
  Write(line + value + "\n");
}

void Report::Scalar(const char* key, const char* label, const std::string& json_value, const std::string& text_value) {
  if (json_) {
    Key(key);
    Write(json_value);
  } else {
    Line(label, text_value);
  }
}

void Report::String(const char* key, const char* label, const std::wstring& value) {
  Scalar(key, label, json_ ? JsonQuote(value) : std::string(), json_ ? std::string() : Utf8(value));
}

void Report::Number(const char* key, const char* label, uint64_t value) {
  Scalar(key, label, std::to_string(value), std::to_string(value));
}

void Report::Hex(const char* key, const char* label, uint32_t value) {
  Scalar(key, label, "\"" + HexText(value) + "\"", HexText(value));
}

void Report::Flag(const char* key, const char* label, bool value) {
  Scalar(key, label, value ? "true" : "false", value ? "yes" : "no");
}

void Report::Null(const char* key, const char* label, const char* text) { Scalar(key, label, "null", text); }

void Report::Code(const char* key, const char* label, uint32_t code) {
  if (json_) {
    Key(key);
    Write("\"" + HexText(code) + "\"");
    Key((std::string(key) + "_meaning").c_str());
    Write(JsonQuote(Widen(ResultMeaning(code))));
  } else {
    Line(label, HexText(code) + " (" + ResultMeaning(code) + ")");
  }
}

void Report::TextLine(const char* label, const std::wstring& value) {
  if (!json_) Line(label, Utf8(value));
}

void Report::Open(const char* key, const char* bracket, bool list, const std::string& label, const char* empty_text) {
  if (json_) {
    Key(key);
    Write(bracket);
  }
  Level level;
  level.list = list;
  level.label = label;
  level.empty_text = empty_text != nullptr ? empty_text : "none";
  levels_.push_back(level);
}

void Report::Close(const char* bracket) {
  const Level level = levels_.back();
  levels_.pop_back();
  if (json_) {
    Write(bracket);
  } else if (level.members == 0) {
    Line(level.label, level.empty_text);
  }
}

void Report::BeginObject(const char* key, const char* label) { Open(key, "{", false, label, nullptr); }

void Report::EndObject() { Close("}"); }

void Report::BeginList(const char* key, const char* label, const char* empty_text) {
  Open(key, "[", true, label, empty_text);
}

void Report::EndList() { Close("]"); }

void Report::Item(const std::wstring& value) {
  if (json_) {
    Key("");
    Write(JsonQuote(value));
  } else {
    Line("", Utf8(value));
  }
}

// Items sit in a list, where Key writes no name.
void Report::BeginItem(const std::wstring& text_label) { Open("", "{", false, Utf8(text_label), nullptr); }

void Report::EndItem() { EndObject(); }

void Report::Finish() {
  if (json_) Write("}\n");
  (void)std::fflush(stdout);
}

const char* ResultMeaning(uint32_t code) {
  switch (code) {
    case 0x201A0001: return "success";
    case 0x201A0002: return "success, but the running driver could not be stopped for the update";
    case 0xE01A0004: return "the driver service is running";
    case 0xE01A0008: return "the driver service exists and is not running";
    case 0xE01A0009: return "the driver service status could not be read";
    case 0xE01A000A: return "unknown action, or the driver path could not be normalised";
    case 0xE01A000B: return "the new driver did not start; the original driver file was restored";
    case 0xE01A000C: return "failed; the batch was ended";
    case 0xE01A000E: return "restoring or restarting the original driver failed";
    case 0xE01A0019: return "the running driver could not be stopped";
    default: return "not a result code of this plug-in";
  }
}

bool IsSuccessCode(uint32_t code) { return (code & 0xFFFF0000u) == 0x201A0000u; }

}  // namespace zyhost
