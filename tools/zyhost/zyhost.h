// Shared by the parts of zyhost: the output report (text or JSON), the plug-in's result codes and the
// system probes that `check` and `diagnose` rest on. zyhost is an independent host: of the plug-in's own
// sources it takes header-only pieces alone (see zyhost.cpp), and none of its compiled code.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "rules.h"
#include "util/handle.h"

namespace zyhost {

// ---- Output ----------------------------------------------------------------------------------------

// One command's output, written as it is produced. In text mode every scalar is one line
// "label value" (labels padded to a column, nested objects indented by two); in JSON mode the whole
// output is one JSON object on one line, members named by `key`. JSON output is pure ASCII: every
// character outside printable ASCII is escaped, so it survives any console code page and keeps
// unpaired UTF-16 surrogates of Windows paths exactly.
class Report {
 public:
  explicit Report(bool json, int label_width = 17);
  bool json() const { return json_; }

  void String(const char* key, const char* label, const std::wstring& value);
  void Number(const char* key, const char* label, uint64_t value);
  // Text "0x%08X"; JSON the same text as a string.
  void Hex(const char* key, const char* label, uint32_t value);
  // Text "yes"/"no"; JSON true/false.
  void Flag(const char* key, const char* label, bool value);
  // JSON null; text `text`.
  void Null(const char* key, const char* label, const char* text);
  // A plug-in result code: text "0x%08X (meaning)"; JSON `key` = "0x%08X" and `key`_meaning.
  void Code(const char* key, const char* label, uint32_t code);
  // A line written in text mode only (JSON callers write the structured form instead).
  void TextLine(const char* label, const std::wstring& value);

  void BeginObject(const char* key, const char* label);
  void EndObject();
  // A list; in text mode `empty_text` (if given) is written on the list's line when it stays empty.
  void BeginList(const char* key, const char* label, const char* empty_text = nullptr);
  void EndList();
  // List items: a string (text mode: one line under the list's label) or an object.
  void Item(const std::wstring& value);
  void BeginItem(const std::wstring& text_label);
  void EndItem();

  // Ends the JSON object (and its line). Call once, after everything else.
  void Finish();

 private:
  struct Level {
    bool list = false;
    int members = 0;
    std::string label;       // text mode: the list's label
    std::string empty_text;  // text mode: written when the list ends empty
  };
  void Key(const char* key);
  // Starts (ends) an object or list: JSON writes the bracket, text mode tracks the level's label and
  // writes `empty_text` ("none" when null) on its line if it ends with no member.
  void Open(const char* key, const char* bracket, bool list, const std::string& label, const char* empty_text);
  void Close(const char* bracket);
  // One member (JSON) or one line (text).
  void Scalar(const char* key, const char* label, const std::string& json_value, const std::string& text_value);
  void Line(const std::string& label, const std::string& value);
  int Indent() const;

  bool json_;
  int label_width_;
  std::vector<Level> levels_;
};

std::string Utf8(const std::wstring& text);
std::wstring Widen(const std::string& text);
// `text` as a JSON string literal, quotes included, in pure ASCII.
std::string JsonQuote(const std::wstring& text);

// ---- The plug-in's result codes ---------------------------------------------------------------------

const char* ResultMeaning(uint32_t code);
bool IsSuccessCode(uint32_t code);

// ---- System probes ----------------------------------------------------------------------------------

// "error <n>: <the system's message for it>" (FormatMessageW); "error <n>" when the system has none.
// Every Windows error that zyhost prints goes through it.
std::wstring WindowsErrorText(DWORD error);

bool IsFile(const std::wstring& path);
bool IsFolder(const std::wstring& path);
// Names in a folder (without "." and ".."), files and folders apart, sorted.
void ListFolder(const std::wstring& folder, std::vector<std::wstring>* files, std::vector<std::wstring>* folders);

// The four numbers of the fixed version information (major, minor, third, fourth).
bool ReadFixedFileVersion(const std::wstring& path, uint16_t numbers[4]);
// The machine of a PE file ("x64", "x86", or "machine 0x...."); false when it is not a PE file.
bool ReadPeMachine(const std::wstring& path, std::wstring* machine);

// The zyhok service as the service manager shows it to zyhost: opened and queried, or the Windows
// error that stopped the read.
struct ServiceView {
  zyhok::UniqueScHandle manager;
  zyhok::UniqueScHandle service;  // opened for status and configuration queries
  SERVICE_STATUS status = {};
  DWORD error = 0;  // 0 when `status` was read
};
void ReadService(ServiceView* view);
// What a failed read says about the service: "not installed", "marked for deletion", "access denied",
// or "cannot be read" for any other error.
const wchar_t* ServiceErrorReason(DWORD error);
const wchar_t* ServiceStateName(DWORD state);

// ---- Commands that do not call the plug-in -----------------------------------------------------------

// Exit status 0 when the package can be installed (warnings allowed), 1 when a problem was found.
int CommandCheck(const std::wstring& package, Report& report);
// Exit status 0.
int CommandDiagnose(Report& report);

}  // namespace zyhost
