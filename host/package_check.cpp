// zyhost check <package folder>: whether a driver package can be installed by the plug-in, judged
// the way the plug-in reads it: the INF sections it runs, the driver and catalogue it copies, the
// four components it stages with their version texts (which name the staging folders), and the
// add-on folder it derives from the package path.
#include "zyhost.h"

#include <setupapi.h>

#include <cstdio>
#include <cwchar>

namespace zyhost {

namespace {

// The plug-in keeps the normalised package folder in 260 units with the terminator.
constexpr size_t kMaxNormalisedFolder = 259;
// The package path component under which the platform ships this driver.
constexpr const wchar_t* kComponentFolder = L"20019";
constexpr const wchar_t* kFolderNameForbidden = L"\\/:*?\"<>|";

struct Finding {
  std::wstring name;
  std::wstring path;
  bool present = false;
  // Binaries.
  bool binary = false;
  std::wstring expected_machine;
  bool is_pe = false;
  std::wstring machine;
  bool has_version = false;
  std::wstring version;
  bool has_fixed = false;
  uint16_t fixed[4] = {};
  // The INF.
  bool inf = false;
  bool inf_parsed = false;
  bool has_install = false;
  bool has_uninstall = false;
};

struct Check {
  std::wstring package;
  std::wstring normalised;
  bool has_addon_folder = false;
  std::wstring addon_folder;
  std::vector<Finding> files;
  std::vector<std::wstring> problems;

  void Problem(const std::wstring& text) { problems.push_back(text); }
};

// The plug-in collapses the first "\\.\" of the record's path into one backslash before use.
std::wstring Normalise(const std::wstring& path) {
  const size_t at = path.find(L"\\\\.\\");
  if (at == std::wstring::npos) return path;
  return path.substr(0, at) + path.substr(at + 3);
}

// The add-on folder of a package path: up to the last component "20019", then the component after
// it twice, then "AddOn" (the component after "20019" is empty when the path ends there).
bool AddOnFolder(const std::wstring& package, std::wstring* folder) {
  std::wstring rest = package;
  std::wstring after;
  for (;;) {
    const size_t slash = rest.rfind(L'\\');
    if (rest.empty() || slash == std::wstring::npos) return false;
    const std::wstring last = rest.substr(slash + 1);
    if (last == kComponentFolder) break;
    after = last;
    rest.resize(slash);
  }
  *folder = rest + L"\\" + after + L"\\" + after + L"\\AddOn";
  return true;
}

std::wstring Join(const std::wstring& folder, const std::wstring& name) {
  if (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) return folder + name;
  return folder + L"\\" + name;
}

std::wstring VersionWords(const uint16_t n[4], bool with_third) {
  wchar_t text[64];
  if (with_third) {
    std::swprintf(text, 64, L"%u.%u.%u.%u", n[0], n[1], n[2], n[3]);
  } else {
    std::swprintf(text, 64, L"%u.%u.%u", n[0], n[1], n[3]);
  }
  return text;
}

void CheckInf(Check& check, const std::wstring& folder) {
  Finding f;
  f.name = L"zyhok.inf";
  f.path = Join(folder, f.name);
  f.inf = true;
  f.present = IsFile(f.path);
  if (!f.present) {
    check.Problem(L"zyhok.inf is missing (" + f.path + L")");
  } else {
    UINT error_line = 0;
    HINF inf = SetupOpenInfFileW(f.path.c_str(), nullptr, INF_STYLE_WIN4, &error_line);
    if (inf == INVALID_HANDLE_VALUE) {
      check.Problem(L"zyhok.inf cannot be read as an INF file (line " + std::to_wstring(error_line) +
                    L")");
    } else {
      f.inf_parsed = true;
      f.has_install = SetupGetLineCountW(inf, L"DefaultInstall") >= 0;
      f.has_uninstall = SetupGetLineCountW(inf, L"DefaultUninstall") >= 0;
      SetupCloseInfFile(inf);
      if (!f.has_install) check.Problem(L"zyhok.inf has no [DefaultInstall] section");
      if (!f.has_uninstall) check.Problem(L"zyhok.inf has no [DefaultUninstall] section");
    }
  }
  check.files.push_back(f);
}

// A binary of the package: present, of the expected machine, with a readable "FileVersion" text.
// Components (`names_folder`) also need a text that can name a staging folder.
Finding CheckBinary(Check& check, const std::wstring& folder, const std::wstring& name,
                     const wchar_t* machine, bool names_folder) {
  Finding f;
  f.name = name;
  f.path = Join(folder, name);
  f.binary = true;
  f.expected_machine = machine;
  f.present = IsFile(f.path);
  if (!f.present) {
    check.Problem(name + L" is missing (" + f.path + L")");
    check.files.push_back(f);
    return f;
  }
  f.is_pe = ReadPeMachine(f.path, &f.machine);
  if (!f.is_pe) {
    check.Problem(name + L" is not a Windows binary");
  } else if (f.machine != f.expected_machine) {
    check.Problem(name + L" is built for " + f.machine + L", not " + f.expected_machine);
  }
  f.has_version = ReadFileVersionText(f.path, &f.version);
  f.has_fixed = ReadFixedFileVersion(f.path, f.fixed);
  if (!f.has_version) {
    check.Problem(name + L" has no readable FileVersion text");
  } else if (names_folder && f.version.empty()) {
    check.Problem(name + L" has an empty FileVersion text, which cannot name a staging folder");
  } else if (names_folder && (f.version.find_first_of(kFolderNameForbidden) != std::wstring::npos ||
                              f.version == L"." || f.version == L"..")) {
    check.Problem(name + L" FileVersion \"" + f.version + L"\" cannot name a staging folder");
  }
  check.files.push_back(f);
  return f;
}

// Both files of a component are staged under the version folder named by the 64-bit file's text.
void CheckPair(Check& check, const Finding& file64, const Finding& file32) {
  if (file64.has_version && file32.has_version && file64.version != file32.version) {
    check.Problem(file32.name + L" FileVersion " + file32.version + L" differs from " + file64.name +
                  L" FileVersion " + file64.version + L", which names the staging folder of both");
  }
}

void Run(Check& check) {
  check.normalised = Normalise(check.package);
  if (check.normalised.size() > kMaxNormalisedFolder) {
    check.Problem(L"the package path is longer than " + std::to_wstring(kMaxNormalisedFolder) +
                  L" characters, which the plug-in refuses");
  }
  if (!IsFolder(check.package)) {
    check.Problem(L"the package folder does not exist (" + check.package + L")");
    return;
  }
  const std::wstring& folder = check.normalised;
  CheckInf(check, folder);
  CheckBinary(check, folder, L"zyhok.sys", L"x64", false);
  Finding cat;
  cat.name = L"zyhok.cat";
  cat.path = Join(folder, cat.name);
  cat.present = IsFile(cat.path);
  if (!cat.present) check.Problem(L"zyhok.cat is missing (" + cat.path + L")");
  check.files.push_back(cat);

  const Finding engine64 = CheckBinary(check, folder, L"zymon64.dll", L"x64", true);
  const Finding engine32 = CheckBinary(check, folder, L"zymon.dll", L"x86", true);
  CheckPair(check, engine64, engine32);

  check.has_addon_folder = AddOnFolder(folder, &check.addon_folder);
  if (!check.has_addon_folder) {
    check.Problem(L"the package path has no \"20019\" component, so the add-on folder cannot be found");
    return;
  }
  if (!IsFolder(check.addon_folder)) {
    check.Problem(L"the add-on folder is missing (" + check.addon_folder + L")");
    return;
  }
  const Finding addon64 = CheckBinary(check, check.addon_folder, L"ZyHkEvt64.dll", L"x64", true);
  const Finding addon32 = CheckBinary(check, check.addon_folder, L"ZyHkEvt.dll", L"x86", true);
  CheckPair(check, addon64, addon32);
}

std::wstring TextSummary(const Finding& f) {
  if (!f.present) return L"missing";
  std::wstring text = L"present";
  if (f.inf && f.inf_parsed) {
    text += L", DefaultInstall ";
    text += f.has_install ? L"yes" : L"no";
    text += L", DefaultUninstall ";
    text += f.has_uninstall ? L"yes" : L"no";
  }
  if (f.binary) {
    text += L", " + (f.is_pe ? f.machine : std::wstring(L"not a PE file"));
    text += L", FileVersion " + (f.has_version ? f.version : std::wstring(L"unreadable"));
    if (f.has_fixed && f.name == L"zyhok.sys") {
      text += L" (status reports " + VersionWords(f.fixed, false) + L")";
    }
  }
  return text;
}

void Print(const Check& check, Report& r) {
  r.String("package", "package", check.package);
  if (check.normalised != check.package) r.String("normalised", "normalised", check.normalised);
  if (check.has_addon_folder) {
    r.String("addon_folder", "add-on folder", check.addon_folder);
  } else {
    r.Null("addon_folder", "add-on folder", "not found");
  }
  r.BeginList("files", "files");
  for (const Finding& f : check.files) {
    if (!r.json()) {
      r.TextLine(Utf8(f.name).c_str(), TextSummary(f));
      continue;
    }
    r.BeginItem(f.name);
    r.String("name", "name", f.name);
    r.String("path", "path", f.path);
    r.Flag("present", "present", f.present);
    if (f.inf && f.present) {
      r.Flag("parsed", "parsed", f.inf_parsed);
      r.Flag("default_install", "DefaultInstall", f.has_install);
      r.Flag("default_uninstall", "DefaultUninstall", f.has_uninstall);
    }
    if (f.binary && f.present) {
      if (f.is_pe) {
        r.String("machine", "machine", f.machine);
      } else {
        r.Null("machine", "machine", "not a PE file");
      }
      if (f.has_version) {
        r.String("file_version", "FileVersion", f.version);
      } else {
        r.Null("file_version", "FileVersion", "unreadable");
      }
      if (f.has_fixed) {
        r.String("fixed_version", "fixed version", VersionWords(f.fixed, true));
      } else {
        r.Null("fixed_version", "fixed version", "unreadable");
      }
    }
    r.EndItem();
  }
  r.EndList();
  r.BeginList("problems", "problems", "none");
  for (const std::wstring& problem : check.problems) r.Item(problem);
  r.EndList();
  r.Flag("usable", "usable", check.problems.empty());
}

}  // namespace

int CommandCheck(const std::wstring& package, Report& report) {
  Check check;
  check.package = package;
  Run(check);
  Print(check, report);
  return check.problems.empty() ? 0 : 1;
}

}  // namespace zyhost
