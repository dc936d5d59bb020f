// Helpers shared by the test programs: fixture locations, a private log file, temporary folders and
// the real driver service of the fixture packages.
#pragma once

#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

#include "util/handle.h"

namespace zyhok_test {

// Folder of the running test program (where the built DLLs lie), with a trailing backslash.
std::wstring BinDir();

// Package folder of a fixture package ("v1": driver 1.6.0.1195, "v2": driver 1.6.0.1200), without a
// trailing backslash: <packages>\<name>\20019\<pkgver>\<pkgver>.
std::wstring PackageDir(const std::wstring& name);

// Folder where the fixture build keeps its intermediate files.
std::wstring FixturesDir();

// Windows system folder (C:\windows\system32) without a trailing backslash.
std::wstring SystemDir();

// The installed driver file: <system>\drivers\zyhok.sys.
std::wstring InstalledDriverPath();

std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);

bool FileExists(const std::wstring& path);
std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);

// Starts a program (`command` names it first) in `directory` with this process's environment plus
// `environment` ("NAME=value" entries, which win); an empty handle when it could not be started.
zyhok::UniqueKernelHandle StartProcess(const std::wstring& command, const std::wstring& directory,
                                       const std::vector<std::wstring>& environment = {});
// Waits for the process to end: its exit code, or 0 for an empty handle.
DWORD ExitCodeOf(const zyhok::UniqueKernelHandle& process);

// A fresh folder under the Windows temp folder, removed with its content when destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

// Deletes a folder tree; returns false if anything was left.
bool RemoveTree(const std::wstring& path);

// Points the log library at a private file for the lifetime of the object, with the given levels
// ("*=2" by default), and reads the lines back. The previous file and levels are restored afterwards.
class LogCapture {
 public:
  explicit LogCapture(const std::wstring& levels = L"*=2");
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  struct Line {
    unsigned level;
    std::wstring module;
    std::wstring source;
    unsigned line;
    std::wstring text;
  };
  std::vector<Line> Lines() const;
  // Texts of the lines, optionally only those of one level (0 = all).
  std::vector<std::wstring> Texts(unsigned level = 0) const;
  // True when some line has exactly this level and text.
  bool Has(unsigned level, const std::wstring& text) const;
  // Forgets the lines written so far.
  void Clear();
  void SetLevels(const std::wstring& levels);
  const std::wstring& file() const { return file_; }
  // All lines as text, for failure messages.
  std::string Dump() const;

 private:
  TempDir dir_;
  std::wstring file_;
};

// The real driver service of the fixture packages.
// Runs the package's INF DefaultInstall section (copies zyhok.sys, registers the service).
void InstallDriverByInf(const std::wstring& package_dir);
// Stops the service if it runs, runs DefaultUninstall of the given package and makes sure that
// neither the service nor the driver file remains.
void RemoveDriverService(const std::wstring& package_dir = L"");
// SERVICE_STATUS dwCurrentState of zyhok, or 0 when it cannot be read.
DWORD ServiceState();
bool StartDriver();
bool StopDriver();

// A user-mode service running zyhok_testservice.exe (tests/hosts/testservice.cpp), registered with
// CreateServiceW under `name` for the lifetime of the object. `steps` are the states it reports, e.g.
// {L"2,5,0", L"4,0,0"}: START_PENDING checkpoint 5, then RUNNING on the next Step(). The destructor
// stops the service if needed and deletes it.
class TestService {
 public:
  TestService(const std::wstring& name, const std::vector<std::wstring>& steps,
              const std::wstring& stop_mode = L"quick");
  ~TestService();
  TestService(const TestService&) = delete;
  TestService& operator=(const TestService&) = delete;

  bool created() const { return service_.valid(); }
  const std::wstring& name() const { return name_; }
  // Opened with SERVICE_ALL_ACCESS.
  SC_HANDLE handle() const { return service_.get(); }
  // Starts the service and waits until it reported its first step.
  bool Start();
  // Lets the service report its next step and waits until it did.
  bool Step();
  // Waits until the service reported a step (after a start made by the code under test).
  bool WaitStepped();
  SERVICE_STATUS Status() const;

 private:
  std::wstring name_;
  zyhok::UniqueScHandle manager_;
  zyhok::UniqueScHandle service_;
  zyhok::UniqueKernelHandle step_;
  zyhok::UniqueKernelHandle stepped_;
};

// Copies a folder tree (files and sub-folders) to `to`, creating it. False if anything failed.
bool CopyTree(const std::wstring& from, const std::wstring& to);

// A separate process (this test program started with "--hold") that keeps one file in use until it is
// released or this object is destroyed: mode "load" maps the file as a module with LoadLibraryW, the
// way a running process keeps a component it loaded; mode "open" opens it for reading without
// FILE_SHARE_DELETE. The holder also ends when the test program ends.
class HoldingProcess {
 public:
  HoldingProcess(const std::wstring& mode, const std::wstring& path);
  ~HoldingProcess();
  HoldingProcess(const HoldingProcess&) = delete;
  HoldingProcess& operator=(const HoldingProcess&) = delete;

  // True once the holder has taken the file.
  bool holding() const { return holding_; }
  // Lets the holder go and waits until it has ended.
  void Release();

 private:
  zyhok::UniqueKernelHandle ready_;
  zyhok::UniqueKernelHandle release_;
  zyhok::UniqueKernelHandle process_;
  bool holding_ = false;
};

// The holder side of HoldingProcess, called first by every test program's main: true (with the exit
// code) when the command line asked for it.
bool RunAsHolder(int* exit_code);

// `text` in lower case, for comparing Windows paths.
std::wstring Lower(std::wstring text);
// What comes before the last backslash of `path` (the whole path when it has none).
std::wstring ParentOf(const std::wstring& path);

// Names in `folder` other than "." and "..", sorted.
std::vector<std::wstring> ListFolder(const std::wstring& folder);

// The lines of a text, split at CR LF (a last line without CR LF counts too).
std::vector<std::wstring> SplitLines(const std::wstring& text);

// Raw access to values under HKEY_LOCAL_MACHINE through advapi32, independent of the code under test.
// Compared whole (error, type and every byte), so a string is checked with its terminator.
struct RegValue {
  LONG error = ERROR_FILE_NOT_FOUND;
  DWORD type = REG_NONE;
  std::string bytes;
  bool operator==(const RegValue& o) const {
    return error == o.error && type == o.type && bytes == o.bytes;
  }
  // The data as UTF-16 units, every unit kept.
  std::wstring Units() const;
};
std::ostream& operator<<(std::ostream& out, const RegValue& value);
RegValue Sz(const std::wstring& text, DWORD type = REG_SZ);  // with its terminator
RegValue Dword(DWORD value);
RegValue Raw(DWORD type, const void* data, size_t bytes);

bool HklmKeyExists(const std::wstring& key);
RegValue ReadHklmValue(const std::wstring& key, const wchar_t* name);
// Creates the key if needed; returns the Windows error.
LONG WriteHklmValue(const std::wstring& key, const wchar_t* name, const RegValue& value);
// Deletes the key with everything below it.
void DeleteHklmTree(const std::wstring& key);

}  // namespace zyhok_test
