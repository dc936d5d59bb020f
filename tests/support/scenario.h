// Lifecycle scenarios as rows: the machine before, the records, the result, the whole machine after and
// the whole story (every log line with its level and module, in order). A row states the machine after
// as a named base plus what differs, and the story as named parts, each of which stands for the lines
// that the plug-in writes for one step; both are written from the plug-in's documented texts and values.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace zyhok_test {

// A record; its path may hold the tokens of ScenarioMachine::Expand.
struct Rec {
  uint32_t action;
  const wchar_t* path;
  uint32_t compare_state = 0;
};
struct Scenario {
  const char* name;
  const wchar_t* before;  // words of ScenarioMachine::Prepare
  std::vector<Rec> records;
  uint32_t result;
  const wchar_t* after;             // words of ScenarioMachine::Expected
  std::vector<std::wstring> story;  // parts of ScenarioMachine::Story
};
inline void PrintTo(const Scenario& row, std::ostream* out) { *out << row.name; }
// The rows of the lifecycle table, and one of them by name.
const std::vector<Scenario>& LifecycleScenarios();
const Scenario& LifecycleScenario(const std::string& name);
// The observable machine as item -> state, compared whole: "service", "driver" (which fixture's bytes the
// installed file holds), "catalogue", "status" (what the status export reports), "reg<sub-key>|<value>"
// (type:data) and "reg<sub-key>" (k) for the service key, "<path>" (d, or the fixture file it holds) for
// both staging trees, and "queued <path>" for every deletion queued for the next reboot since `pending`.
using Machine = std::map<std::wstring, std::wstring>;

// A scenario's world: copies of both fixture packages and what a row holds open during its records.
class ScenarioMachine {
 public:
  ScenarioMachine();
  // Replaces %V1%, %V2% (the package copies), %LONG% (a path that fits no buffer), %SYS%, %WOW% (the
  // staging roots), %DRIVERS% (the drivers folder with its backslash), %ENGINE% (the staged v1 engine)
  // and %RENAME_ERROR% (the error of renaming an empty path).
  std::wstring Expand(std::wstring text) const;
  std::vector<zyhok::DrvInfo> Records(const std::vector<Rec>& recs) const;
  // From a clean machine (an abandoned lifecycle lock taken over), the machine of the words of `before`,
  // noting the deletions queued by then.
  ::testing::AssertionResult Begin(const std::wstring& before, const LoadedPlugin& plugin);
  // Lets go of what the row held open during its records.
  void Release();
  static Machine Observe(const LoadedPlugin& plugin, const std::vector<std::wstring>& pending);
  Machine Expected(const std::wstring& after) const;
  // The lines "<level><module initial> <text>" that the parts stand for (as Told shows a log file).
  std::vector<std::wstring> Story(const std::vector<std::wstring>& parts) const;
  // The machine (beside the deletions queued before) and the log file's story are the expected ones.
  void ExpectMachine(const std::wstring& after, const LoadedPlugin& plugin) const;
  void ExpectStory(const std::wstring& log_file, const std::vector<std::wstring>& parts) const;

  const std::wstring& v1() const { return v1_; }
  const std::wstring& v2() const { return v2_; }
  const std::wstring& host() const { return host_; }

 private:
  bool Prepare(const std::wstring& word, const LoadedPlugin& plugin);
  void Tell(const std::wstring& part, std::vector<std::wstring>& out) const;
  void Stage(const std::vector<std::wstring>& args, std::vector<std::wstring>& out) const;
  TempDir copies_;
  const std::wstring v1_, v2_, engine_, decoys_;
  std::vector<std::pair<std::wstring, std::wstring>> tokens_;
  zyhok::UniqueFileHandle instance_, held_;
  zyhok::UniqueModule loaded_;
  std::wstring host_;
  std::vector<std::wstring> pending_;
};
// A difference between two machines, item by item, for failure messages.
std::string MachineDiff(const Machine& expected, const Machine& actual);

}  // namespace zyhok_test
