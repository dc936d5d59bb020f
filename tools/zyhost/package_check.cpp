// zyhost check <package folder>: whether a driver package can be installed by the plug-in, judged
// the way the plug-in reads it: the INF sections it runs, the driver and catalogue it copies, the
// four components it stages with their version texts (which name the staging folders), and the
// add-on folder it derives from the package path.
//
// Findings come in two kinds, as the plug-in treats them:
// - problems: the install fails (the record is refused, the INF step or the driver's start fails, or
//   staging stops on a folder that cannot be created), or the driver it leaves cannot be run or
//   removed again with this package;
// - warnings: the install goes on without something: a component file that is not staged or cannot
//   be loaded by processes, a component staged outside its version folder, the add-on as a whole, the
//   catalogue (used by updates only), or the version that `status` reports.
#include "staging/staging_layout.h"
#include "zyhost.h"

#include <setupapi.h>

#include <cstdio>
#include <cwchar>

namespace zyhost {

namespace {

// Characters that stop the creation of a staging folder named by a version text (the plug-in takes
// texts with "\\", "/" or ":" for unreadable ones).
constexpr const wchar_t* kFolderNameForbidden = L"*?\"<>|";

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
  std::vector<std::wstring> warnings;

  void Problem(const std::wstring& text) { problems.push_back(text); }
  void Warning(const std::wstring& text) { warnings.push_back(text); }
};

std::wstring Join(const std::wstring& folder, const std::wstring& name) {
  if (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) return folder + name;
  return folder + L"\\" + name;
}

std::wstring VersionWords(const uint16_t n[4], bool with_third) {
  wchar_t text[64];
  if (with_third) {
    (void)std::swprintf(text, 64, L"%u.%u.%u.%u", n[0], n[1], n[2], n[3]);
  } else {
    (void)std::swprintf(text, 64, L"%u.%u.%u", n[0], n[1], n[3]);
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
      check.Problem(L"zyhok.inf cannot be read as an INF file (line " + std::to_wstring(error_line) + L")");
    } else {
      f.inf_parsed = true;
      f.has_install = SetupGetLineCountW(inf, L"DefaultInstall") >= 0;
      f.has_uninstall = SetupGetLineCountW(inf, L"DefaultUninstall") >= 0;
      SetupCloseInfFile(inf);
      // The plug-in runs a section it cannot find as if it had run: the service is never created (and
      // the start fails), or an uninstall reports success and leaves the driver in place.
      if (!f.has_install) check.Problem(L"zyhok.inf has no [DefaultInstall] section");
      if (!f.has_uninstall) {
        check.Problem(L"zyhok.inf has no [DefaultUninstall] section, so an uninstall leaves the driver");
      }
    }
  }
  check.files.push_back(f);
}

// The 64-bit component's "FileVersion" text names the staging folder of both its files. A text that
// cannot be a folder name stops the staging, and with it the install, on a file-system error.
void CheckFolderName(Check& check, const Finding& f) {
  const std::wstring quoted = f.name + L" FileVersion \"" + f.version + L"\"";
  if (!f.has_version) {
    check.Warning(f.name +
                  L" has no readable FileVersion text, so the component is staged without a "
                  L"version folder");
  } else if (f.version.empty()) {
    check.Warning(f.name +
                  L" has an empty FileVersion text, so the component is staged without a version "
                  L"folder");
  } else if (!NamesVersionFolder(f.version, f.name)) {
    check.Warning(quoted + L" names no version folder, so the component is staged without a version folder");
  } else if (f.version.find_first_of(kFolderNameForbidden) != std::wstring::npos) {
    check.Problem(quoted + L" cannot name a staging folder, which stops the install");
  }
}

// A binary of the package: present, of the expected machine, with its version texts. The driver's
// faults are problems (it does not start).
Finding CheckBinary(Check& check, const std::wstring& folder, const std::wstring& name, const wchar_t* machine,
                    bool component, bool names_folder) {
  Finding f;
  f.name = name;
  f.path = Join(folder, name);
  f.binary = true;
  f.expected_machine = machine;
  f.present = IsFile(f.path);
  // A component's fault is a warning, with what the install does without it.
  auto fault = [&check, component](const std::wstring& text, const wchar_t* consequence) {
    if (component) {
      check.Warning(text + consequence);
    } else {
      check.Problem(text);
    }
  };
  if (!f.present) {
    fault(name + L" is missing (" + f.path + L")",
          names_folder ? L", so it is not staged and the 32-bit file is staged without a version folder"
                       : L", so it is not staged");
    check.files.push_back(f);
    return f;
  }
  f.is_pe = ReadPeMachine(f.path, &f.machine);
  if (!f.is_pe) {
    fault(name + L" is not a Windows binary", L", so processes cannot load it");
  } else if (f.machine != f.expected_machine) {
    fault(name + L" is built for " + f.machine + L", not " + f.expected_machine, L", so processes cannot load it");
  }
  f.has_version = ReadFileVersionText(f.path, &f.version);
  f.has_fixed = ReadFixedFileVersion(f.path, f.fixed);
  if (!component && !f.has_fixed) {
    check.Warning(name + L" has no fixed file version, so status reports 1.0");
  }
  if (names_folder) CheckFolderName(check, f);
  check.files.push_back(f);
  return f;
}

// Both files of a component are staged under the version folder named by the 64-bit file's text.
void CheckPair(Check& check, const Finding& file64, const Finding& file32) {
  if (file64.has_version && file32.has_version && file64.version != file32.version) {
    check.Warning(file32.name + L" FileVersion " + file32.version + L" differs from " + file64.name + L" FileVersion " +
                  file64.version + L", which names the staging folder of both");
  }
}

void CheckComponent(Check& check, const std::wstring& folder, const wchar_t* file64, const wchar_t* file32) {
  const Finding f64 = CheckBinary(check, folder, file64, L"x64", true, true);
  const Finding f32 = CheckBinary(check, folder, file32, L"x86", true, false);
  CheckPair(check, f64, f32);
}

void Run(Check& check) {
  if (!NormaliseFolder(check.package, &check.normalised)) {
    check.Problem(L"the package path is longer than " + std::to_wstring(kMaxNormalisedFolder) +
                  L" characters, which the plug-in refuses");
  }
  if (!IsFolder(check.normalised)) {
    check.Problem(L"the package folder does not exist (" + check.normalised + L")");
    return;
  }
  const std::wstring& folder = check.normalised;
  CheckInf(check, folder);
  CheckBinary(check, folder, L"zyhok.sys", L"x64", false, false);
  Finding cat;
  cat.name = L"zyhok.cat";
  cat.path = Join(folder, cat.name);
  cat.present = IsFile(cat.path);
  if (!cat.present) {
    check.Warning(L"zyhok.cat is missing (" + cat.path + L"), so an update cannot copy it to the system folder");
  }
  check.files.push_back(cat);
  CheckComponent(check, folder, zyhok::kEngineLayout.file64, zyhok::kEngineLayout.file32);

  check.has_addon_folder = AddOnFolder(folder, &check.addon_folder);
  if (!check.has_addon_folder) {
    check.Warning(
        L"the package path has no \"20019\" component, so the add-on folder cannot be found and "
        L"the add-on is not staged");
  } else if (!IsFolder(check.addon_folder)) {
    check.Warning(L"the add-on folder is missing (" + check.addon_folder + L"), so the add-on is not staged");
  } else {
    CheckComponent(check, check.addon_folder, zyhok::kAddOnLayout.file64, zyhok::kAddOnLayout.file32);
  }
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
  r.BeginList("warnings", "warnings", "none");
  for (const std::wstring& warning : check.warnings) r.Item(warning);
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
