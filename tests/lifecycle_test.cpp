// The lifecycle as the host drives it: every row puts the machine into a state, hands records to the
// loaded plug-in's batch export, and checks the result, the machine after (service, driver file bytes,
// service key values, staged components and their registration, the package folders, entries queued
// for the next reboot) and the log lines that tell the story. Everything runs against Wine's service
// manager, SetupAPI, registry and file system, with the test driver, whose DriverEntry result a row
// chooses, and copies of the two fixture packages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "support/test_support.h"
#include "util/log.h"

namespace {

using namespace zyhok_test;

// path tokens: %V1%, %V2% (the package copies), %LONG% (fits no path buffer)
struct Rec { uint32_t action; const wchar_t* path; uint32_t compare_state = 0; };

// A log line of the story, found after the one before it. Level 0: no line from there on contains the
// text. A text ending in '*' is matched as a prefix; one starting with '>' must be the very next line.
struct Story { unsigned level; const wchar_t* text; };

// before: words applied in order:
//   v1, v2          the plug-in installs that fixture package (running)
//   v1-inf          v1 registered by its INF alone and started, as another product installs it
//   stopped, no-service, no-driver-file
//   entry=<hex>     the test driver's DriverEntry result for the starts that follow
//   Name=<number>   a REG_DWORD under the service key; -Name deletes the value or sub-key Name
//   instance=<n>    the mailslot of client instance n (0..15) exists during the records
//   hold-driver     the installed driver file is open without write sharing during the records
//   load-engine, open-engine   another process holds the staged 64-bit v1 engine (loaded, or open
//                   without delete sharing) during the records
//   v2/<file>=missing|junk|folder|noversion|climbing   the package copy altered
//   failed-uninstall  an uninstall of the v1 copy without its INF file fails (its INF is then put back)
//   staging=file    a file where the native staging tree belongs
//   host=win7|win10|win10+manifest  the records run in a fresh host process that Wine tells that
//                   Windows version (a Windows 10 host must declare it in its manifest)
// after: words checked:
//   service=running|stopped|none, driver=v1|v2|none, key=none, Name=<number> or Name=- (no such value
//                   or sub-key), kept=engine (the staged 64-bit v1 engine remains)
//   staged=none|v1|v2|v1+v2  exactly these component files remain in both staging trees (files queued
//                         for deletion at reboot excepted) and, when the key exists, are registered
//   queued=engine|engine-tree  the held v1 engine (under whatever name) and its folder, or every
//                         folder up to the staging root, are queued for deletion at reboot (else none)
//   status=<hex>/<version>     what the status export reports (with its fixed fields)
//   catalogue=copied           <system>\zyhok.cat is the package's catalogue (else absent)
// Every row also checks that each package copy holds what it held before (no backup left behind).
struct Scenario {
  const char* name;
  const wchar_t* before;
  std::vector<Rec> records;
  uint32_t result;
  const wchar_t* after;
  std::vector<Story> story;
};

constexpr uint32_t kNotStopped = 0x201A0002, kRestored = 0xE01A000B, kRollbackFailed = 0xE01A000E,
                   kStopFailed = 0xE01A0019;

const Scenario kScenarios[] = {
    // ---- install ----
    {"FreshInstall", L"", {{0, L"%V1%"}}, kSuccess,
     L"service=running driver=v1 PermCount=1 InstalledByZefa=1 BootStatus=0xffffffff GHSwitch=1 HokFlags=0 "
     L"ZYHOKSystemDiskName=device staged=v1 status=0xe01a0004/1.6.1195",
     {{2, L"==> DoActionFromDrvInfo,rDrvInfo.action = 0, rDrvInfo.compare_state = 0"},
      {2, L"rDrvInfo.wszDriverPath = %V1%"}, {2, L"wszNormalDriverFolder = %V1%"},
      {2, L"Engine Path is:%V1%"}, {2, L"Engine Version is:2.5.1043"},
      {2, L"fsOurPath is:%SYS%\\zyhok\\20019\\ZyMon\\2.5.1043"},
      {2, L"Engine Path is:%V1%\\AddOn"}, {2, L"Engine Version is:1.0.5"},
      {2, L"==> _InstallDriverByInf,INF File Path: %V1%\\zyhok.inf"},
      {2, L"called InstallHinfSectionW() Success!, command line: DefaultInstall 128 %V1%\\zyhok.inf"},
      {2, L"==> StartDriverService,Driver Name:zyhok"}, {2, L">==> WaitForServiceState,timeout value: 0x7530"},
      {2, L"><== WaitForServiceState,Is Service Ok: 0x1"},
      {2, L"><== StartDriverService,bResult: 0x1"}, {2, L"Success to start [zyhok] service."},
      // Nothing was registered before: the retirement works on empty paths and logs the rename's
      // own error, whatever the log library did to the last-error value meanwhile.
      {3, L"Rename file() failed. LastError = %RENAME_ERROR%"},
      {2, L"%RESTRICT%"}, {2, L">==> CSecurityInfo::RetrieveInfoByNameEx,pObjectName=zyhok"},
      {2, L">[GetBuiltinSid] find account group name=Administrators, dwRID=0x220"},
      {2, L"><== CSecurityInfo::RetrieveInfoByNameEx,dwRet=0"},
      {2, L">==> CSecurityInfo::ApplyInfoByName,pObjectName=zyhok"},
      {2, L"><== CSecurityInfo::ApplyInfoByName,dwRet=0"},
      {2, L"><== CWorkOnSpecificAccount::DoSecurityRestrictActionOnServiceObject, bRet=0x1"},
      {2, L"<== InstallDrvFromDrvInfo,"}, {2, L"<== DoActionFromDrvInfo,asStatus = 0x201a0001"},
      {2, L"The current state of zyhok is 0x4"}, {2, L"Query Version of driver: %DRIVERS%zyhok.sys"},
      {2, L"driver version: 1.6.1195"}}},
    // A path ending in a separator gets no second one; "PermCount" is set, not counted up; the running
    // driver's 1056 counts as started; the same component versions are in place, nothing is retired.
    {"ReinstallOverTheRunningDriver", L"v1 PermCount=3 BootStatus=5 GHSwitch=0 HokFlags=3", {{0, L"%V1%/"}},
     kSuccess, L"service=running driver=v1 PermCount=1 InstalledByZefa=1 BootStatus=0xffffffff GHSwitch=1 "
     L"HokFlags=0 staged=v1", {{0, L"Rename file("}, {2, L"Engine Path is:%V1%/"},
      {2, L"The file has been exists.\nTargetPath: %V1%/\nOurPath: %SYS%\\zyhok\\20019\\ZyMon\\2.5.1043"},
      {2, L"The file has been exists."}, {2, L"==> _InstallDriverByInf,INF File Path: %V1%/zyhok.inf"},
      {2, L"Success to start [zyhok] service."}}},
    // Files already staged are not copied, and an add-on file not copied is not registered again.
    {"ReinstallRegistersNoAddOnItDidNotCopy", L"v1 -AddOn", {{0, L"%V1%"}}, kSuccess, L"driver=v1 AddOn=-", {}},
    {"InstallWhoseStartIsRefusedWith1305", L"entry=0xc0000058", {{0, L"%V1%"}}, kSuccess,
     L"service=stopped driver=v1 PermCount=1 InstalledByZefa=1 staged=v1 status=0xe01a0008/1.6.1195",
     {{5, L"ControlService failed! function:StartService, error code: 0x519"},
      {2, L"Not support on this platform"}, {2, L"%RESTRICT%"}}},
    // The v2 copies that the v1 staging replaced are retired all the same, and the service object is
    // restricted after the failure. SetupAPI keeps the newer v2 driver file in place.
    {"InstallWhoseStartIsRefusedWith31", L"v2 stopped entry=0xc0000001 PermCount=7 InstalledByZefa=0",
     {{0, L"%V1%"}}, kFailed, L"service=stopped driver=v2 PermCount=7 InstalledByZefa=0 staged=v1",
     {{5, L"ControlService failed! function:StartService, error code: 0x1f"},
      {5, L"fail to start [zyhok] service. Windows error code = 0x1f"}, {2, L"%RESTRICT%"},
      {2, L"<== InstallDrvFromDrvInfo,"}}},
    // What came before the INF step stays: staged components and service settings.
    {"InstallFromAPackageWithoutInf", L"v1/zyhok.inf=missing", {{0, L"%V1%"}}, kFailed,
     L"service=none driver=none PermCount=- InstalledByZefa=- GHSwitch=1 staged=v1",
     {{5, L"Incorrect driver INF filepath."}, {5, L"fail to install %V1%\\zyhok.inf"},
      {0, L"==> StartDriverService"}, {2, L"%RESTRICT%"}, {2, L"<== DoActionFromDrvInfo,asStatus = 0xe01a000c"}}},
    // A file-system error inside staging ends the install where it was raised.
    {"InstallStoppedByAFileSystemError", L"staging=file", {{0, L"%V1%"}}, kFailed,
     L"service=none driver=none key=none", {{0, L"<== InstallDrvFromDrvInfo,"}, {0, L"_InstallDriverByInf"},
      {5, L"InstallDrvFromDrvInfo stopped by a file-system error: *"},
      {2, L"<== DoActionFromDrvInfo,asStatus = 0xe01a000c"}}},
    // An engine without a version resource is staged directly in the ZyMon folders (its 32-bit file is
    // not copied there) and registered all the same; the install goes on.
    {"InstallOfAnEngineWithoutAVersion", L"v1/zymon64.dll=noversion", {{0, L"%V1%"}}, kSuccess,
     L"service=running driver=v1", {{5, L"Retrieve engine version number failed:"},
      {2, L"fsOurPath is:%SYS%\\zyhok\\20019\\ZyMon"}, {2, L"Engine Version is:1.0.5"}}},
    // A version text that climbs out of its folder (1.0\..\..\x) names none: staged as one without a version.
    {"InstallOfAnEngineWhoseVersionClimbsOut", L"v1/zymon64.dll=climbing", {{0, L"%V1%"}}, kSuccess,
     L"service=running driver=v1", {{5, L"Retrieve engine version number failed:"}, {2, L"Engine Version is:"},
      {2, L"fsOurPath is:%SYS%\\zyhok\\20019\\ZyMon"}}},
    // An uninstall that failed at its INF retired the components and kept their registration: the same install
    // stages them again where they were registered, and retires none of them.
    {"ReinstallAfterAnUninstallThatFailedAtItsInf", L"v1 failed-uninstall", {{0, L"%V1%"}}, kSuccess,
     L"service=running driver=v1 PermCount=1 staged=v1", {{0, L"Rename file("}}},
    // ---- uninstall ----
    {"UninstallGivesUpTheShareWhileAnotherHolderRemains", L"v1 PermCount=2", {{2, L"%V1%"}}, kSuccess,
     L"service=running driver=v1 PermCount=1 InstalledByZefa=0 staged=v1", {{0, L"WaitForServiceState"},
      {0, L"_UnInstallDriverByInf"}, {2, L"%UNRESTRICT%"}, {2, L"<== UninstallDrvFromDrvInfo,"}}},
    {"UninstallCountsTheShareDownWithoutWrapping", L"v1 PermCount=0xffffffff", {{2, L"%V1%"}}, kSuccess,
     L"service=running driver=v1 PermCount=0xfffffffe InstalledByZefa=0 staged=v1", {}},
    {"UninstallBlockedByAClientInstance", L"v1 instance=0", {{2, L"%V1%"}}, kStopFailed,
     L"service=running driver=v1 PermCount=1 staged=v1",
     {{0, L"_UnInstallDriverByInf"}, {5, L"fail to stop original driver zyhok"}}},
    // Nothing holds the staged files, so the trees go at once; the INF removal takes the key.
    {"UninstallRemovesEverything", L"v1", {{2, L"%V1%\\..\\1.6.1195\\.\\"}}, kSuccess,
     L"service=none driver=none key=none staged=none status=0xe01a0009/1.0",
     {{0, L"Incorrect driver INF filepath."}, {2, L"wszNormalDriverFolder = %V1%\\"},
      {2, L"==> _UnInstallDriverByInf,"}, {2, L"<== UninstallDrvFromDrvInfo,"},
      {3, L"Query driver zyhok status failed!"}, {0, L"Query Version of driver"}, {2, L"driver version: 1.0"}}},
    {"UninstallWithoutAServiceTouchesNoFile", L"v1 no-service", {{2, L"%V1%"}}, kFailed,
     L"service=none staged=v1", {{0, L"Rename file("}, {0, L"_UnInstallDriverByInf"},
      {3, L"fail to query driver[zyhok] status"}, {2, L"<== UninstallDrvFromDrvInfo,"}}},
    // The driver is stopped and the components are gone before the INF removal fails.
    {"UninstallWhoseInfIsMissing", L"v1 v1/zyhok.inf=missing", {{2, L"%V1%"}}, kFailed,
     L"service=stopped driver=v1 staged=none PermCount=1",
     {{5, L"Incorrect driver INF filepath."}, {5, L"fail to uninstall zyhok by inf."}}},
    // A loaded DLL cannot be deleted but can be renamed: its name is freed at once and the renamed
    // file goes at the next reboot with every folder above it.
    {"UninstallRenamesALoadedEngineAside", L"v1 load-engine", {{2, L"%V1%"}}, kSuccess,
     L"service=none driver=none staged=none queued=engine-tree", {{0, L"Rename file("}}},
    // A file open without delete sharing cannot even be renamed: it waits under its own name.
    {"UninstallQueuesAnEngineOpenWithoutDeleteSharing", L"v1 open-engine", {{2, L"%V1%"}}, kSuccess,
     L"service=none driver=none staged=none queued=engine-tree",
     {{3, L"Rename file(%ENGINE%) failed. LastError = 0x20"}}},
    // ---- update ----
    {"UpdateInstallsAMissingDriverFromTheInfFirst", L"", {{1, L"%V2%"}}, kSuccess,
     L"service=running driver=v2 BootStatus=0xffffffff PermCount=- InstalledByZefa=- staged=v2 "
     L"status=0xe01a0004/1.6.1200", {{2, L"%UNRESTRICT%"}, {2, L"rDrvInfo.compare_state = 0"},
      {2, L"==> UpdateDrvFromDrvInfo,"}, {2, L"Success to install driver by INF%V2%\\zyhok.inf"},
      {2, L"backup original driver file from: %DRIVERS% to %V2%\\"},
      {2, L"Success to start new driver: zyhok"}, {2, L"<== UpdateDrvFromDrvInfo,asStatus = 0x201a0001"},
      {2, L"%RESTRICT%"}}},
    // The stop before the reinstall leaves nothing running for the exchange to stop.
    {"UpdateReinstallsAServiceMarkedForDeletion", L"v1 DeleteFlag=1", {{3, L"%V2%"}}, kSuccess,
     L"service=running driver=v2 DeleteFlag=1 PermCount=1 staged=v2",
     {{0, L"Check zyhok is installed by other Velmora products?"}, {2, L"==> DoActionFromDrvInfo,*"},
      {0, L"rDrvInfo.compare_state"},
      {3, L"The DeleteFlag indicates the service: zyhok was marked for deletion on reboot"},
      {2, L"==> _InstallDriverByInf,INF File Path: %V2%\\zyhok.inf"},
      {2, L"backup original driver file from: *"}, {0, L"try to stop original driver: "}}},
    {"UpdateOfAMarkedServiceWithAClientInstance", L"v1 DeleteFlag=0xFFFFFFFF instance=15", {{1, L"%V2%"}}, kNotStopped,
     L"service=running driver=v1 staged=v1+v2",
     {{0, L"_InstallDriverByInf"}, {5, L"fail to stop "}, {5, L"fail to stop original driver: zyhok"}}},
    // Another product's INF install leaves no share values: the count starts at 1.
    {"UpdateTakesAShareInADriverOfAnotherProduct", L"v1-inf", {{1, L"%V2%"}},
     kSuccess, L"service=running driver=v2 PermCount=1 InstalledByZefa=1 DeleteFlag=- staged=v2",
     {{2, L"Check zyhok is installed by other Velmora products?"},
      {2, L"zyhok is installed by other Velmora products, we should modify its registry."},
      {3, L"fail to query registry: SYSTEM\\CurrentControlSet\\Services\\zyhok\\PermCount"},
      {3, L"fail to delete registry: SYSTEM\\CurrentControlSet\\Services\\zyhok\\DeleteFlag"}}},
    {"UpdateTakesTheShareBackThatThisPlatformReleased", L"v1-inf InstalledByZefa=0 PermCount=3 DeleteFlag=0",
     {{1, L"%V2%"}}, kSuccess, L"service=running driver=v2 PermCount=4 InstalledByZefa=1 DeleteFlag=-",
     {{2, L"zyhok is installed by other Velmora products, we should modify its registry."}}},
    {"UpdateOfThisPlatformsDriverTakesNoShare", L"v1-inf InstalledByZefa=1 PermCount=1 DeleteFlag=0",
     {{1, L"%V2%"}}, kSuccess, L"service=running driver=v2 PermCount=1 InstalledByZefa=1 DeleteFlag=0",
     {{2, L"Check zyhok is installed by other Velmora products?"}, {0, L"we should modify its registry."}}},
    // A package without its 32-bit engine stages that engine only in part: the v1 engine is not retired.
    {"UpdateFromAPackageWithoutA32BitEngine", L"v1 v2/zymon.dll=missing", {{1, L"%V2%"}}, kSuccess,
     L"service=running driver=v2 kept=engine", {{2, L"Success to start new driver: zyhok"}}},
    // Without a registered 32-bit add-on the 64-bit copies in use are not looked up, so none is retired.
    {"UpdateOverComponentsWithoutAnAddOnRegistration", L"v1 -AddOn", {{1, L"%V2%"}}, kSuccess,
     L"service=running driver=v2 kept=engine", {}},
    {"UpdateWithHokFlagsBit0LeavesTheNewDriverStopped", L"v1 HokFlags=1 BootStatus=5", {{1, L"%V2%"}},
     kSuccess, L"service=stopped driver=v2 BootStatus=5 HokFlags=1", {{0, L"Success to start new driver"}}},
    {"UpdateWithHokFlagsBit1StartsTheNewDriver", L"v1 HokFlags=2 BootStatus=5", {{1, L"%V2%"}}, kSuccess,
     L"service=running driver=v2 BootStatus=0xffffffff HokFlags=2",
     {{2, L"Success to start new driver: zyhok"}}},
    {"UpdateWhoseNewDriverIsRefusedWith1305", L"v1 entry=0xc0000058 BootStatus=7", {{3, L"%V2%"}},
     kSuccess, L"service=stopped driver=v2 BootStatus=7 staged=v2",
     {{5, L"fail to start new driver.zyhok"}, {2, L"Not support on this platform."}}},
    // A DriverEntry that refuses is not used here: Wine's driver host releases the refused image only
    // after StartServiceW has returned, so the rollback would race with it. A file that cannot be
    // loaded at all fails the start without holding the file.
    {"UpdateWhoseNewDriverDoesNotLoadIsRolledBack", L"v1 -BootStatus v2/zyhok.sys=junk", {{1, L"%V2%"}},
     kRestored, L"service=stopped driver=v1 BootStatus=0xffffffff",
     {{2, L"%UNRESTRICT%"}, {5, L"fail to start new driver.zyhok"},
      {2, L"rollback to old drivers from: %V2%\\zyhok_backup.sys to %DRIVERS%zyhok.sys"},
      {0, L"==> StartDriverService,"},  // the old driver is not started again
      {2, L"<== UpdateDrvFromDrvInfo,asStatus = 0xe01a000b"}, {2, L"%RESTRICT%"}}},
    {"UpdateWhoseBackupIsRefused", L"v1 v2/zyhok_backup.sys=folder", {{1, L"%V2%"}}, kFailed,
     L"service=running driver=v1", {{0, L"try to stop original driver: "}, {5, L"Copy file failed.0x10b"},
      {2, L"backup original driver file failed."}, {2, L"delete backup file %V2%\\zyhok_backup.sys failed"},
      {2, L"<== UpdateDrvFromDrvInfo,asStatus = 0xe01a000c"}}},
    {"UpdateWhoseReplaceAndRollbackAreRefused", L"v1 hold-driver", {{1, L"%V2%"}}, kRollbackFailed,
     L"service=stopped driver=v1", {{0, L"==> StartDriverService,"},  // no restart after a failed rollback
      {2, L"replace old drivers with new drivers from: %V2%\\zyhok.sys to %DRIVERS%zyhok.sys"},
      {5, L"Copy file failed.0x5"}, {5, L"replace original driver file with new ones failed."},
      {5, L"rollback to original driver file failed."}, {2, L"%RESTRICT%"}}},
    // Without its driver file the package backs up the installed one but cannot replace it. 0xE01A000C
    // ends the batch: the uninstall after it is never dispatched.
    {"UpdateWhoseReplacementFailsRestartsTheOldDriver", L"v1 v2/zyhok.sys=missing",
     {{3, L"%V2%"}, {2, L"%V1%"}}, kFailed, L"service=running driver=v1 staged=v1+v2",
     {{2, L"==> DoActionFromDrvInfo,*"}, {0, L"rDrvInfo.compare_state = 0"}, {2, L"%UNRESTRICT%"},
      {5, L"replace original driver file with new ones failed."},
      {2, L"rollback to original driver file successfully."},
      {2, L"<== UpdateDrvFromDrvInfo,asStatus = 0xe01a000c"}, {2, L"%RESTRICT%"}, {0, L"rDrvInfo.action = 0x2"}}},
    {"UpdateRollbackWhoseRestartIsRefusedWith1275", L"v1 entry=0xc000036c v2/zyhok.sys=missing",
     {{1, L"%V2%"}}, kSuccess, L"service=stopped driver=v1",
     {{2, L"rollback to original driver file successfully."},
      {5, L"ControlService failed! function:StartService, error code: 0x4fb"}, {2, L"Blocked by boot status."}}},
    {"UpdateRollbackWhoseRestartIsRefusedWith1305", L"v1 entry=0xc0000058 v2/zyhok.sys=missing",
     {{1, L"%V2%"}}, kSuccess, L"service=stopped driver=v1",
     {{2, L"rollback to original driver file successfully."}, {2, L"Not support on this platform."}}},
    {"UpdateRollbackWhoseRestartIsRefusedWith31", L"v1 entry=0xc0000001 v2/zyhok.sys=missing",
     {{1, L"%V2%"}}, kRollbackFailed, L"service=stopped driver=v1",
     {{2, L"rollback to original driver file successfully."}, {5, L"start original driver file failed."}}},
    // The held engine is renamed aside; the copies nobody held go at once, with their folders.
    {"UpdateRenamesALoadedEngineAside", L"v1 load-engine", {{1, L"%V2%"}}, kSuccess,
     L"service=running driver=v2 staged=v2 queued=engine", {{0, L"Rename file("}}},
    // The catalogue copy depends on the version that the host process is told at its start.
    {"UpdateInAWindows7HostCopiesNoCatalogue", L"host=win7", {{3, L"%V2%"}}, kSuccess,
     L"driver=v2 staged=v2",
     {{0, L"The OS platform is win10 or above."}, {2, L"<== UpdateDrvFromDrvInfo,*"}}},
    {"UpdateInAHostWithoutAWindows10ManifestCopiesNoCatalogue", L"host=win10", {{3, L"%V2%"}}, kSuccess,
     L"driver=v2", {{0, L"wsSystemPath"}}},
    {"UpdateInAWindows10HostCopiesTheCatalogue", L"host=win10+manifest", {{3, L"%V2%"}}, kSuccess,
     L"driver=v2 catalogue=copied",
     {{2, L"The OS platform is win10 or above."}, {2, L"wsSystemPath : %SYS%\\zyhok.cat"},
      {2, L"wsCatFilePath : %V2%\\zyhok.cat"}}},
    // ---- the batch ----
    {"PathsThatFitNoBufferAreRefusedByEveryAction", L"v1", {{0, L"%LONG%"}, {1, L"%LONG%"}, {2, L"%LONG%"}},
     kRefused, L"service=running driver=v1 PermCount=1 staged=v1",
     {{0, L"_InstallDriverByInf"}, {0, L"backup original"}, {0, L"WaitForServiceState"},
      {2, L"Normalize the driver path failed."}, {2, L"<== DoActionFromDrvInfo,asStatus = 0xe01a000a"}}},
    // A share of 2 lets the uninstall succeed without a driver: it only lowers the count.
    {"UnknownActionIsSkippedAndTheBatchGoesOn", L"PermCount=2", {{7, L"%V1%", 5}, {2, L"%V1%"}}, kSuccess,
     L"service=none driver=none staged=none PermCount=1 InstalledByZefa=0",
     {{2, L"==> DoActionFromDrvInfo,rDrvInfo.action = 0x7, rDrvInfo.compare_state = 0x5"},
      {2, L"><== DoActionFromDrvInfo,asStatus = 0xe01a000a"},
      {2, L">==> DoActionFromDrvInfo,rDrvInfo.action = 0x2, rDrvInfo.compare_state = 0"}}},
    {"RecordFailingWithE01A000CEndsTheBatch", L"", {{2, L"%V1%"}, {0, L"%V1%", 9}}, kFailed,
     L"service=none driver=none key=none staged=none",
     {{2, L"%UNRESTRICT%"}, {5, L"GetNamedSecurityInfo error. dwRet=0x424"},
      {2, L"<== CWorkOnSpecificAccount::DoSecurityRestrictActionOnServiceObject, bRet=0x1"},
      {3, L"fail to query driver[zyhok] status"}, {2, L"<== DoActionFromDrvInfo,asStatus = 0xe01a000c"},
      {0, L"compare_state = 0x9"}}},
    // ---- the status export alone ----
    {"StatusOfAServiceWhoseFileIsMissing", L"v1-inf stopped no-driver-file", {}, 0,
     L"service=stopped status=0xe01a0008/1.0",
     {{2, L"The current state of zyhok is 0x1"}, {5, L"Query Version failed, driver: %DRIVERS%zyhok.sys"},
      {3, L"Query driver zyhok version failed!"}, {2, L"driver version: 1.0"}}},
};

std::vector<std::wstring> Words(const wchar_t* text) {
  std::wistringstream in(text);
  return {std::istream_iterator<std::wstring, wchar_t>(in), std::istream_iterator<std::wstring, wchar_t>()};
}

std::wstring DevicePath(const std::wstring& path) {
  wchar_t device[MAX_PATH] = {};
  QueryDosDeviceW(path.substr(0, 2).c_str(), device, MAX_PATH);
  return device + path.substr(2);
}

// The error of a rename of an empty path: the log must report it, not what logging left behind.
std::wstring RenameError() {
  SetLastError(0xDEADBEEF);
  MoveFileW(L"", L".1");
  std::wstring error;
  zyhok::AppendNumber(error, GetLastError());
  return error;
}

// The staged copies of fixture "v1" (engine 2.5.1043, add-on 1.0.5) or "v2" (2.6.1100, 1.0.6): 64-bit
// engine, 32-bit engine, 64-bit add-on, 32-bit add-on.
std::vector<std::wstring> Components(const std::wstring& v) {
  const std::wstring engine = v == L"v1" ? L"2.5.1043" : L"2.6.1100", addon = v == L"v1" ? L"1.0.5" : L"1.0.6";
  return {StagingTree64() + L"\\20019\\ZyMon\\" + engine + L"\\zymon64.dll",
          StagingTree32() + L"\\20019\\ZyMon\\" + engine + L"\\zymon.dll",
          StagingTree64() + L"\\20019\\AddOn\\" + addon + L"\\ZyHkEvt64.dll",
          StagingTree32() + L"\\20019\\AddOn\\" + addon + L"\\ZyHkEvt.dll"};
}

// A text value under the driver's service key (REG_SZ with its terminator).
void ExpectServiceText(const std::wstring& subkey, const wchar_t* name, const std::wstring& text) {
  EXPECT_EQ(ReadHklmValue(kDriverServiceKey + subkey, name), Sz(text)) << WideToUtf8(subkey + L"|" + name);
}

class Lifecycle : public ::testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override { ResetDriverMachineState(); }
  void TearDown() override { ResetDriverMachineState(); }

  std::wstring Expand(std::wstring text) const {
    const std::pair<std::wstring, std::wstring> tokens[] = {
        {L"%V1%", v1_}, {L"%V2%", v2_}, {L"%LONG%", v1_ + L"\\" + std::wstring(300, L'x')},
        {L"%DRIVERS%", SystemDir() + L"\\drivers\\"}, {L"%SYS%", SystemDir()}, {L"%ENGINE%", engine_},
        {L"%RESTRICT%", AccessChangeLine(true)}, {L"%UNRESTRICT%", AccessChangeLine(false)},
        {L"%RENAME_ERROR%", RenameError()}};
    for (const auto& [token, value] : tokens) {
      for (size_t at = text.find(token); at != std::wstring::npos; at = text.find(token, at + value.size())) {
        text.replace(at, token.size(), value);
      }
    }
    return text;
  }

  // Applies one word of `before`: false when that could not be done.
  bool Prepare(const std::wstring& word) {
    const size_t eq = word.find(L'=');
    const std::wstring name = word.substr(0, eq), value = eq == word.npos ? L"" : word.substr(eq + 1);
    if (word == L"v1" || word == L"v2") {
      return plugin_.Do(kInstall, PackageDir(word)) == kSuccess && ServiceState() == SERVICE_RUNNING;
    }
    if (word == L"v1-inf") return RunInfSection(L"DefaultInstall", PackageDir(L"v1")), ControlDriver(true);
    if (word == L"stopped") return ControlDriver(false);
    if (word == L"no-service") return RemoveDriverService(PackageDir(L"v1")), true;
    if (word == L"no-driver-file") return DeleteFileW(InstalledDriverPath().c_str());
    if (word == L"failed-uninstall") {
      const std::wstring inf = v1_ + L"\\zyhok.inf", aside = inf + L".aside";
      return MoveFileW(inf.c_str(), aside.c_str()) && plugin_.Do(kUninstall, v1_) == kFailed &&
             MoveFileW(aside.c_str(), inf.c_str());
    }
    if (name == L"instance") {
      instance_.reset(CreateMailslotW((L"\\\\.\\mailslot\\zyhok_INSTANCE" + value).c_str(), 0, 0, nullptr));
      return instance_.valid();
    }
    if (word == L"hold-driver") {
      held_.reset(CreateFileW(InstalledDriverPath().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr));
      return held_.valid();
    }
    if (word == L"load-engine") return loaded_.reset(LoadLibraryW(engine_.c_str())), loaded_.valid();
    if (word == L"open-engine") {
      held_.reset(CreateFileW(engine_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr));
      return held_.valid();
    }
    if (name[0] == L'v' && name[2] == L'/') {
      const std::wstring file = (name[1] == L'1' ? v1_ : v2_) + L"\\" + name.substr(3);
      const std::wstring unversioned = FixturesDir() + L"\\versions\\no_version.dll";
      return value == L"missing"     ? DeleteFileW(file.c_str())
             : value == L"junk"      ? WriteFileBytes(file, "MZ but not a driver")
             : value == L"noversion" ? CopyFileW(unversioned.c_str(), file.c_str(), FALSE)
             : value == L"climbing"
                 ? CopyFileW((ParentOf(unversioned) + L"\\climbing.dll").c_str(), file.c_str(), FALSE)
                                     : CreateDirectoryW(file.c_str(), nullptr);
    }
    if (name == L"staging") return WriteFileBytes(StagingTree64(), "not a folder");
    if (name == L"host") return host_ = value, true;
    if (word[0] == L'-') {  // the value, or the sub-key, of that name
      RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kDriverServiceKey + (L"\\" + word.substr(1))).c_str());
      return RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kDriverServiceKey, &word[1]), true;
    }
    const wchar_t* dword = name == L"entry" ? L"TestDriverEntryStatus" : name.c_str();
    return eq != word.npos && WriteHklmValue(kDriverServiceKey, dword, Dword(wcstoul(value.c_str(), nullptr, 0))) == 0;
  }

  // Checks one word of `after`; `queued`: the paths queued for deletion by the records, in lower case.
  void Check(const std::wstring& word, const std::set<std::wstring>& queued) {
    SCOPED_TRACE(WideToUtf8(word));
    const size_t eq = word.find(L'=');
    const std::wstring name = word.substr(0, eq), value = word.substr(eq + 1);
    if (name == L"service") {
      const DWORD s = ServiceState();
      EXPECT_EQ(value, s == SERVICE_RUNNING   ? L"running"
                       : s == SERVICE_STOPPED ? L"stopped"
                       : s                    ? L"other"
                                              : L"none");
    } else if (name == L"driver") {
      EXPECT_EQ(InstalledDriver(), value);
    } else if (name == L"key") {
      EXPECT_FALSE(HklmKeyExists(kDriverServiceKey));
    } else if (name == L"staged") {
      Snapshot trees;
      SnapshotFolder(StagingTree64(), trees, false);
      SnapshotFolder(StagingTree32(), trees, false);
      std::set<std::wstring> files, want;
      for (const auto& [path, state] : trees) {
        if (state[0] == L'f' && !queued.count(Lower(path))) files.insert(Lower(path));
      }
      for (const wchar_t* v : {L"v1", L"v2"}) {
        if (value.find(v) == std::wstring::npos) continue;
        for (const std::wstring& file : Components(v)) want.insert(Lower(file));
      }
      EXPECT_EQ(files, want);
      if (value == L"none" || !HklmKeyExists(kDriverServiceKey)) return;
      // The copies of the last package staged are the registered ones.
      const std::wstring last = value.substr(value.size() - 2), addon = L"\\AddOn\\ZyHkEvt";
      const std::vector<std::wstring> f = Components(last);
      const std::tuple<std::wstring, const wchar_t*, std::wstring> registered[] = {
          {L"", L"ZYHOKMonDll64Name", f[0]}, {L"", L"ZYHOKMonDll64NameDev", DevicePath(f[0])},
          {L"", L"ZYHOKMonDllName", f[1]}, {L"", L"ZYHOKMonDllNameDev", DevicePath(f[1])},
          {addon + L"64", L"path", f[2]}, {addon + L"64", L"devpath", DevicePath(f[2])}, {addon, L"path", f[3]},
          {addon, L"version", last == L"v1" ? L"1.0.5" : L"1.0.6"}};
      for (const auto& [subkey, name, text] : registered) ExpectServiceText(subkey, name, text);
    } else if (name == L"queued") {
      const std::wstring folder = ParentOf(engine_);
      const std::vector<std::wstring> left = ListFolder(folder);
      ASSERT_EQ(left.size(), 1u) << "the engine's folder holds only the held engine";
      EXPECT_TRUE(left[0] == L"zymon64.dll" || left[0].rfind(L"zymon64.dll.", 0) == 0) << WideToUtf8(left[0]);
      std::set<std::wstring> want = {Lower(folder + L"\\" + left[0]), Lower(folder)};
      for (std::wstring up = ParentOf(folder); value == L"engine-tree" && up.size() >= StagingTree64().size();
           up = ParentOf(up)) {
        want.insert(Lower(up));
      }
      EXPECT_EQ(queued, want);
    } else if (name == L"status") {
      const zyhok::DrvStatusInfo status = plugin_.Status();
      std::wostringstream shown;  // the fixed fields too, and the version terminated within its buffer
      shown << L"0x" << std::hex << status.status << L"/" << Utf8ToWide(status.version) << L" id " << status.driver_id
            << L" flag " << status.flag << L" " << (std::memchr(status.version, 0, sizeof(status.version)) != nullptr);
      EXPECT_EQ(shown.str(), value + L" id 48000165 flag 1 1");
    } else if (word == L"ZYHOKSystemDiskName=device") {
      ExpectServiceText(L"", L"ZYHOKSystemDiskName", DevicePath(SystemDir().substr(0, 2)));
    } else if (name == L"catalogue") {
      EXPECT_EQ(ReadFileBytes(SystemDir() + L"\\zyhok.cat"), ReadFileBytes(v2_ + L"\\zyhok.cat"));
    } else if (name == L"kept") {
      EXPECT_TRUE(FileExists(engine_)) << "the v1 engine was retired";
    } else {
      if (value == L"-") EXPECT_FALSE(HklmKeyExists(kDriverServiceKey + (L"\\" + name)));
      EXPECT_EQ(ReadHklmValue(kDriverServiceKey, name.c_str()),
                value == L"-" ? RegValue() : Dword(wcstoul(value.c_str(), nullptr, 0)));
    }
  }

  LoadedPlugin plugin_;
  TempDir copies_;
  const std::wstring v1_ = CopyPackage(copies_, L"v1"), v2_ = CopyPackage(copies_, L"v2");
  const std::wstring engine_ = Components(L"v1")[0];
  zyhok::UniqueFileHandle instance_, held_;
  zyhok::UniqueModule loaded_;
  std::wstring host_;
};

TEST_P(Lifecycle, Scenario) {
  const Scenario& row = GetParam();
  ASSERT_TRUE(plugin_.loaded());
  for (const std::wstring& word : Words(row.before)) {
    ASSERT_TRUE(Prepare(word) && !HasFatalFailure()) << WideToUtf8(word);
  }
  const auto packages_before = std::make_pair(ListFolder(v1_), ListFolder(v2_));
  const std::vector<std::wstring> pending_before = PendingDeletions();

  LogCapture log;
  std::vector<zyhok::DrvInfo> records;
  for (const Rec& rec : row.records) {
    records.push_back(MakeRecord(rec.action, Expand(rec.path), rec.compare_state));
  }
  if (!host_.empty()) {
    HostProcess host(L"zyhok_update_host.exe");
    ASSERT_NO_FATAL_FAILURE(host.SetWindowsVersion(host_.substr(0, 5)));
    host.DeclareWindows10(host_.find(L"manifest") != std::wstring::npos);
    EXPECT_EQ(host.Run(records, log.file()), row.result) << log.Dump();
  } else if (!records.empty()) {
    EXPECT_EQ(plugin_.DoActions(records), row.result) << log.Dump();
  }
  instance_.reset();
  held_.reset();
  loaded_.reset();

  std::set<std::wstring> queued;
  for (const std::wstring& path : PendingDeletions()) {
    if (std::count(pending_before.begin(), pending_before.end(), path) == 0) queued.insert(Lower(path));
  }
  for (const std::wstring& word : Words(row.after)) Check(word, queued);
  if (!wcsstr(row.after, L"queued=")) EXPECT_EQ(queued, std::set<std::wstring>());
  if (!wcsstr(row.after, L"catalogue=")) EXPECT_FALSE(FileExists(SystemDir() + L"\\zyhok.cat"));
  EXPECT_EQ(std::make_pair(ListFolder(v1_), ListFolder(v2_)), packages_before);

  const std::vector<LogLine> lines = log.Lines();
  auto from = lines.begin();  // the story goes on from here
  for (const Story& story : row.story) {
    std::wstring text = Expand(story.text);
    const bool adjacent = text[0] == L'>', prefix = text.back() == L'*';
    text = text.substr(adjacent, text.size() - adjacent - prefix);
    const auto limit = adjacent && from != lines.end() ? from + 1 : lines.end();
    const auto found = std::find_if(from, limit, [&](const LogLine& line) {
      if (story.level == 0) return line.text.find(text) != std::wstring::npos;
      return line.level == story.level && (prefix ? line.text.rfind(text, 0) == 0 : line.text == text);
    });
    EXPECT_EQ(found != limit, story.level != 0)
        << (story.level ? "missing, or out of order: L" : "unexpected: L") << story.level << " "
        << WideToUtf8(text) << "\n" << log.Dump();
    if (story.level != 0 && found != limit) from = found + 1;
  }
}

void PrintTo(const Scenario& row, std::ostream* out) { *out << row.name; }
std::string RowName(const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; }
INSTANTIATE_TEST_SUITE_P(Rows, Lifecycle, ::testing::ValuesIn(kScenarios), RowName);

}  // namespace
