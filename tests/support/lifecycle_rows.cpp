// The lifecycle table: one row per case, run by lifecycle_test and named by the fault and interruption
// tests. Each row is {name, before, records, result, after, story}; ScenarioMachine (scenario.cpp) reads it.
//
// The row language
//
// before: words applied in order to a clean machine (ScenarioMachine::Prepare):
//   v1, v2                    the package installed by the plug-in, running
//   v1-inf                    the v1 INF run alone, the driver started; "stopped": the driver stopped
//   no-service, no-driver-file, uninstalled, failed-uninstall (an uninstall of v1 without its INF file)
//   instance=N                the driver's client mailslot zyhok_INSTANCE<N> held open
//   hold-driver, open-engine, load-engine   the installed driver file held, the staged v1 engine held open
//                             for reading (a scanner), or loaded
//   v1/<file>=<fixture>       a package copy's file replaced by a fixtures/versions DLL, or missing, junk, folder
//   stage=<items>, unstage=<items>          component copies put in place or deleted (items below)
//   catalogue=v1              the package's catalogue in the system folder; "staging": a file where the tree is
//   host=<version>            the Windows version a fresh host process reports
//   decoys[=journal]          the registered paths (or a leftover journal's) crafted to name decoys outside
//                             the staging trees (kCrafted)
//   -<name>                   that value, or sub-key, of the service key removed; <Value>=<number> written
//                             (entry=<status>: the test driver's DriverEntry result)
//
// records: {action, path[, compare_state]}; the path may hold the tokens of ScenarioMachine::Expand (%V1%,
// %V2%, %SYS%, %WOW%, %DRIVERS%, %ENGINE%, %LONG%, %DECOYS%, %CLIMB%, %RENAME_ERROR%).
//
// after: the whole machine, as a base and what differs (ScenarioMachine::Expected): a base v1/v2 (installed
// by the plug-in and running, its components staged and registered) or v1-inf/v2-inf; then service=,
// driver=, catalogue= (running|stopped|none, v1|v2|none), inf=v2, settings, key=none, staged=<items> (all
// staged files), registered=<items>, queued=engine|engine-tree|own-tree, <Value>=<number>, <Value>=-,
// %path%=<what it holds> and decoys.
//
// items: "+"-joined component copies of a fixture package: v1 all four, v1e / v1a the engines / add-ons,
// v1e64, v1a32 one file, v1-e32 all but one; a last "." staged flat (an unreadable version text), a last ":"
// flat for an empty text (the add-on then registered with a doubled separator before its name).
//
// story: every log line in order, as parts (ScenarioMachine::Story): a line "<level><module initial> <text>"
// (the module's first letter: 2z is level 2 of "ZYHOK Driver Installation", p "Plugin ZYHOK Adapter", u "Util
// COMMON"), a named step of Steps() in scenario.cpp with its arguments ("*N" repeats it N times), "row <name>"
// (that row's story), or a component's staging, "engine P V" / "addon T V". The macros below name the
// stretches that many stories share.
#include "support/test_support.h"

namespace zyhok_test {

namespace {

// clang-format off

// The stories' common stretches: an install of the v1 copy staging the engine and the add-on with these
// versions (and more), its start and end; an update to the v2 copy (action 0x1 lifts the restriction first).
#define INSTALL_V1_AS(engine, addon) \
    L"act 0 0", L"install %V1%", L"engine %V1% " engine, L"addon %V1%\\AddOn " addon, L"inf %V1%\\zyhok.inf"
#define INSTALL_V1 INSTALL_V1_AS(L"2.5.1043", L"1.0.5")
#define SERVICE_STARTED L"2z Success to start [zyhok] service."
#define INSTALLED L"start", SERVICE_STARTED, L"rename-empty *4", INSTALL_END(L"0x201a0001")
#define INSTALL_END(result) L"access 1", L"2z <== InstallDrvFromDrvInfo,", L"done " result
#define UPDATE_V2_AS(action, engine, addon, ...) \
    L"act " action L" 0", __VA_ARGS__, L"update %V2%", L"engine %V2% " engine, L"addon %V2%\\AddOn " addon
#define UPDATE_V2(action, ...) UPDATE_V2_AS(action, L"2.6.1100", L"1.0.6", __VA_ARGS__)
#define UPDATE_V2_1 UPDATE_V2(L"0x1", L"access 0", L"2z rDrvInfo.compare_state = 0")
// The update of the running v1 driver, staging the engine and the add-on as given, that starts v2.
#define UPDATED_V2_AS(engine, addon) UPDATE_V2_AS(L"0x1", engine, addon, L"access 0", \
    L"2z rDrvInfo.compare_state = 0"), L"exist", L"unmarked", EXCHANGE, STARTED_NEW, L"done 0x201a0001"
#define UPDATED_V2 UPDATED_V2_AS(L"2.6.1100", L"1.0.6")
#define EXCHANGE L"backup %V2%\\", L"stop", L"replace %V2%\\"
#define STARTED L"ensure", L"start", L"2z Success to start new driver: zyhok"
#define STARTED_NEW STARTED, L"update-end 0x201a0001", L"access 1"
#define UPDATE_END(result) L"update-end " result, L"access 1", L"done " result
#define UNINSTALL_V1(access) L"act 0x2 0", L"uninstall %V1%", access
#define UNINSTALL_END(result) L"2z <== UninstallDrvFromDrvInfo,", L"done " result
#define ROLLBACK L"2z rollback to old drivers from: %V2%\\zyhok_backup.sys to %DRIVERS%zyhok.sys"
#define NOT_REPLACED EXCHANGE, L"5z Copy file failed.0x2", L"5z replace original driver file with new ones failed.", \
    ROLLBACK, L"2z rollback to original driver file successfully."
// The registered or journalled paths crafted to name decoys (ScenarioMachine::Prepare's "decoys"), refused: the
// 32-bit and 64-bit engine, the 32-bit and 64-bit add-on, in the order of an install's or update's retirement.
#define DECOY(path) L"3z not a staged component file, left alone: " path
#define DECOY_E32 DECOY(L"%DECOYS%\\zymon.dll")
#define DECOY_E64 DECOY(L"%CLIMB%\\zymon64.dll")
#define DECOY_A32 DECOY(L"\\\\?\\%DECOYS%\\ZyHkEvt.dll")
#define DECOY_A64 DECOY(L"\\\\.\\%DECOYS%\\ZyHkEvt64.dll")
// An install of the v1 copy whose 64-bit engine is replaced by the fixture DLL `fixture` (fixtures/versions), whose
// FileVersion text, shown in the log as `shown` after its "-", names no version folder: the engine is staged and
// registered directly in the ZyMon folders.
#define ENGINE_WITHOUT_VERSION_FOLDER(name, fixture, shown)                                             \
    {name, L"v1/zymon64.dll=" fixture, {{0, L"%V1%"}}, kSuccess,                                        \
     L"v1 staged=v1a+v1e. registered=v1e. %SYS%\\zyhok\\20019\\ZyMon\\zymon64.dll=" fixture,              \
     {INSTALL_V1_AS(L"-" shown, L"1.0.5"), INSTALLED}}
// A deletion queued for the next reboot of a copy that is registered now, or of a folder that holds one.
#define DROPPED(path) L"3z a deletion queued for the next reboot no longer applies, dropped: " path
// The v1 copies that the staging trees hold though no value registers them, retired by a repair (the tidying
// after a run that did not end as it should, or an uninstall): under the system folder, and under SysWOW64.
#define UNREGISTERED(path) L"3z a staged copy that no value registers, retired: " path
#define UNREGISTERED_V1_64 UNREGISTERED(L"%SYS%\\zyhok\\20019\\ZyMon\\2.5.1043\\zymon64.dll"), \
    UNREGISTERED(L"%SYS%\\zyhok\\20019\\AddOn\\1.0.5\\ZyHkEvt64.dll")
#define UNREGISTERED_V1_32 UNREGISTERED(L"%WOW%\\zyhok\\20019\\ZyMon\\2.5.1043\\zymon.dll"), \
    UNREGISTERED(L"%WOW%\\zyhok\\20019\\AddOn\\1.0.5\\ZyHkEvt.dll")
// An update from a v2 copy without its driver file, rolled back: DriverEntry refuses the restart of v1 with
// `status`, which the start reports as Windows error `error`; the plug-in says `why`, and ends with `result`.
#define ROLLBACK_RESTART_REFUSED(name, status, error, why, result, code)                                              \
    {"UpdateRollbackWhoseRestartIsRefusedWith" name, L"v1 entry=" status L" v2/zyhok.sys=missing", {{1, L"%V2%"}},    \
     result, L"v1 service=stopped staged=v1+v2 registered=v2 TestDriverEntryStatus=" status,                          \
     {UPDATE_V2_1, L"exist", L"unmarked", NOT_REPLACED, L"start-fail " error, why, UPDATE_END(code)}}

const std::vector<Scenario> kScenarios = {
    // ---- install ----
    // Nothing was registered before: the retirement works on empty paths and logs the rename's own error,
    // whatever the log library did to the last-error value meanwhile.
    {"FreshInstall", L"", {{0, L"%V1%"}}, kSuccess, L"v1", {INSTALL_V1, INSTALLED}},
    // A path ending in a separator gets no second one; "PermCount" is set, not counted up; the running
    // driver's 1056 counts as started; the same component versions are in place, nothing is retired.
    {"ReinstallOverTheRunningDriver", L"v1 PermCount=3 BootStatus=5 GHSwitch=0 HokFlags=3", {{0, L"%V1%/"}}, kSuccess,
     L"v1", {L"act 0 0", L"install %V1%/", L"engine %V1%/ 2.5.1043 old", L"addon %V1%\\AddOn 1.0.5 old",
             L"inf %V1%/zyhok.inf", L"start-running", SERVICE_STARTED, INSTALL_END(L"0x201a0001")}},
    // Files already staged are not copied; an add-on found in place whose registration was lost (a run that
    // did not end as it should) is registered again, without a line.
    {"ReinstallRegistersAnAddOnThatLostItsRegistration", L"v1 -AddOn", {{0, L"%V1%"}}, kSuccess, L"v1",
     {INSTALL_V1_AS(L"2.5.1043 old", L"1.0.5 old"), L"start-running", SERVICE_STARTED, INSTALL_END(L"0x201a0001")}},
    // Staged flags that differ, both ways: the component copied afresh hands its registered copies to the
    // retirement (here empty paths, as the lost value left them: one rename line each), the one found in place none.
    {"ReinstallRecopiesOnlyTheAddOn", L"v1 -AddOn unstage=v1a", {{0, L"%V1%"}}, kSuccess, L"v1",
     {INSTALL_V1_AS(L"2.5.1043 old", L"1.0.5"), L"start-running", SERVICE_STARTED, L"rename-empty *2",
      INSTALL_END(L"0x201a0001")}},
    {"ReinstallRecopiesOnlyTheEngine", L"v1 -ZYHOKMonDllName unstage=v1e", {{0, L"%V1%"}}, kSuccess, L"v1",
     {INSTALL_V1_AS(L"2.5.1043", L"1.0.5 old"), L"start-running", SERVICE_STARTED, L"rename-empty *2",
      INSTALL_END(L"0x201a0001")}},
    {"InstallWhoseStartIsRefusedWith1305", L"entry=0xc0000058", {{0, L"%V1%"}}, kSuccess,
     L"v1 service=stopped TestDriverEntryStatus=0xc0000058",
     {INSTALL_V1, L"start-fail 0x519", L"2z Not support on this platform", L"rename-empty *4",
      INSTALL_END(L"0x201a0001")}},
    // The v2 copies that the v1 staging replaced are retired all the same, and the service object is
    // restricted after the failure. SetupAPI keeps the newer v2 driver file in place.
    {"InstallWhoseStartIsRefusedWith31", L"v2 stopped entry=0xc0000001 PermCount=7 InstalledByZefa=0", {{0, L"%V1%"}},
     kFailed, L"v2 inf=v1 service=stopped PermCount=7 InstalledByZefa=0 TestDriverEntryStatus=0xc0000001 staged=v1 "
     L"registered=v1",
     {INSTALL_V1, L"start-fail 0x1f", L"5z fail to start [zyhok] service. Windows error code = 0x1f",
      INSTALL_END(L"0xe01a000c")}},
    // What came before the INF step stays: staged components and service settings.
    {"InstallFromAPackageWithoutInf", L"v1/zyhok.inf=missing", {{0, L"%V1%"}}, kFailed,
     L"settings staged=v1 registered=v1",
     {L"act 0 0", L"install %V1%", L"engine %V1% 2.5.1043", L"addon %V1%\\AddOn 1.0.5", L"inf-missing %V1%\\zyhok.inf",
      L"5z fail to install %V1%\\zyhok.inf", L"rename-empty *4", L"access-gone 1", L"2z <== InstallDrvFromDrvInfo,",
      L"done 0xe01a000c"}},
    // A file-system error inside staging ends the install where it was raised.
    {"InstallStoppedByAFileSystemError", L"staging=file", {{0, L"%V1%"}}, kFailed, L"%SYS%\\zyhok=other-12",
     {L"act 0 0", L"install %V1%", L"2p AddOn path is:%V1%\\zymon64.dll",
      L"2p GetFileVersionInfoSize Return value is:0x434", L"2p File Version: 2.5.1043", L"2z Engine Path is:%V1%",
      L"2z Engine Version is:2.5.1043", L"2z fsTargetPath is:%V1%",
      L"5z InstallDrvFromDrvInfo stopped by a file-system error: boost::filesystem::create_directory: "
      L"Path not found [system:3]: \"%SYS%\\zyhok\\20019\"", L"done 0xe01a000c"}},
    // An engine without a version resource is staged directly in the ZyMon folders and registered there.
    {"InstallOfAnEngineWithoutAVersion", L"v1/zymon64.dll=noversion", {{0, L"%V1%"}}, kSuccess,
     L"v1 staged=v1a+v1e. registered=v1e. %SYS%\\zyhok\\20019\\ZyMon\\zymon64.dll=no_version",
     {INSTALL_V1_AS(L"-", L"1.0.5"), INSTALLED}},
    // An add-on without a version resource is registered with an empty version text.
    {"InstallOfAnAddOnWithoutAVersion", L"v1/AddOn/ZyHkEvt64.dll=noversion", {{0, L"%V1%"}}, kSuccess,
     L"v1 staged=v1e+v1a. registered=v1a. %SYS%\\zyhok\\20019\\AddOn\\ZyHkEvt64.dll=no_version",
     {INSTALL_V1_AS(L"2.5.1043", L"-"), INSTALLED}},
    // A version text with control characters names no folder; the log shows them escaped, so the line feed in it
    // starts no line of its own.
    ENGINE_WITHOUT_VERSION_FOLDER("InstallOfAnEngineWhoseVersionTextForgesALine", L"forging",
                                  L"1.0<U+000D><U+000A>L5<U+0009>forged<U+0009>line"),
    // Texts that would name a folder in one registered form only (an environment reference expands in the device
    // form; 200 units fit the drive-letter form but not the device form), or a device, name none.
    ENGINE_WITHOUT_VERSION_FOLDER("InstallOfAnEngineWhoseVersionTextHoldsAReference", L"percent", L"%ACC_V%"),
    ENGINE_WITHOUT_VERSION_FOLDER("InstallOfAnEngineWhoseVersionTextFitsOneFormOnly", L"long",
                                  L"99999999999999999999999999999999999999999999999999"  // 200 units
                                  L"99999999999999999999999999999999999999999999999999"
                                  L"99999999999999999999999999999999999999999999999999"
                                  L"99999999999999999999999999999999999999999999999999"),
    ENGINE_WITHOUT_VERSION_FOLDER("InstallOfAnEngineWhoseVersionTextIsADevice", L"device", L"NUL"),
    // An add-on whose version text is there but empty is staged directly in the AddOn folders, which the log shows
    // with their trailing separator, and registered with a doubled separator before its name and the empty text;
    // an uninstall retires it in that form like any other copy.
    {"InstallOfAnAddOnWithAnEmptyVersionText", L"v1/AddOn/ZyHkEvt64.dll=empty_text", {{0, L"%V1%"}}, kSuccess,
     L"v1 staged=v1e+v1a: registered=v1a: %SYS%\\zyhok\\20019\\AddOn\\ZyHkEvt64.dll=empty_text",
     {INSTALL_V1_AS(L"2.5.1043", L"''"), INSTALLED}},
    {"UninstallRetiresAnAddOnRegisteredWithAnEmptyVersionText", L"v1/AddOn/ZyHkEvt64.dll=empty_text v1",
     {{2, L"%V1%"}}, kSuccess, L"", {UNINSTALL_V1(L"access 0"), L"wait", L"uninf", UNINSTALL_END(L"0x201a0001")}},
    // A version text that climbs out of its folder (1.0\..\..\x) names none: staged as one without a version.
    ENGINE_WITHOUT_VERSION_FOLDER("InstallOfAnEngineWhoseVersionClimbsOut", L"climbing", L"1.0\\..\\..\\x"),
    // An uninstall that failed at its INF retired the components and kept their registration: the same install
    // stages them again where they were registered, and retires none of them.
    {"ReinstallAfterAnUninstallThatFailedAtItsInf", L"v1 failed-uninstall", {{0, L"%V1%"}}, kSuccess, L"v1",
     {INSTALL_V1, L"start", SERVICE_STARTED, INSTALL_END(L"0x201a0001")}},
    // Paths that name no staged component file are never retired, wherever they come from; the leftover journal
    // tells of a run that did not end as it should, so the install then retires the copies nobody registers.
    {"InstallOverALeftoverJournalLeavesItsCraftedPathsAlone", L"v1 stopped decoys=journal", {{0, L"%V2%"}}, kSuccess,
     L"v2 decoys", {L"act 0 0", L"install %V2%", L"engine %V2% 2.6.1100", L"addon %V2%\\AddOn 1.0.6",
     L"inf %V2%\\zyhok.inf", L"start", SERVICE_STARTED, DECOY_E32, DECOY_E64, DECOY_A32, DECOY_A64, UNREGISTERED_V1_64,
     UNREGISTERED_V1_32, INSTALL_END(L"0x201a0001")}},
    // An uninstall could neither delete nor rename the engine that a process held open: it waits under its own name
    // for the next reboot, with its folders. The install that follows registers it where it is, and the queued
    // deletions of the registered copy and of the folders that hold it are dropped, so the reboot keeps them.
    {"InstallOverAHeldCopyThatAnUninstallQueuedKeepsIt", L"v1 open-engine uninstalled", {{0, L"%V1%"}}, kSuccess,
     L"v1", {INSTALL_V1_AS(L"2.5.1043 no64", L"1.0.5"), L"start", SERVICE_STARTED, L"rename-empty *2",
     DROPPED(L"%ENGINE%"), DROPPED(L"%SYS%\\zyhok\\20019\\ZyMon\\2.5.1043"), DROPPED(L"%SYS%\\zyhok\\20019\\ZyMon"),
     DROPPED(L"%SYS%\\zyhok\\20019"), DROPPED(L"%SYS%\\zyhok"), INSTALL_END(L"0x201a0001")}},
    // ---- uninstall ----
    // The removal retires what its staging trees hold that no value registers, and leaves the decoys alone.
    {"UninstallLeavesCraftedRegisteredPathsAlone", L"v1 decoys", {{2, L"%V1%"}}, kSuccess, L"decoys",
     {UNINSTALL_V1(L"access 0"), L"wait", UNREGISTERED_V1_32, DECOY_E32, DECOY_A32, UNREGISTERED_V1_64, DECOY_E64,
      DECOY_A64, L"uninf", UNINSTALL_END(L"0x201a0001")}},
    {"UninstallGivesUpTheShareWhileAnotherHolderRemains", L"v1 PermCount=2", {{2, L"%V1%"}}, kSuccess,
     L"v1 InstalledByZefa=0", {UNINSTALL_V1(L"access 0"), UNINSTALL_END(L"0x201a0001")}},
    {"UninstallCountsTheShareDownWithoutWrapping", L"v1 PermCount=0xffffffff", {{2, L"%V1%"}}, kSuccess,
     L"v1 PermCount=0xfffffffe InstalledByZefa=0", {UNINSTALL_V1(L"access 0"), UNINSTALL_END(L"0x201a0001")}},
    {"UninstallBlockedByAClientInstance", L"v1 instance=0", {{2, L"%V1%"}}, kStopFailed, L"v1",
     {UNINSTALL_V1(L"access 0"), L"5z fail to stop original driver zyhok", UNINSTALL_END(L"0xe01a0019")}},
    // Nothing holds the staged files, so the trees go at once; the INF removal takes the key.
    {"UninstallRemovesEverything", L"v1", {{2, L"%V1%\\..\\1.6.1195\\.\\"}}, kSuccess, L"",
     {L"act 0x2 0", L"uninstall %V1%\\..\\1.6.1195\\.\\ %V1%\\", L"access 0", L"wait", L"uninf",
      UNINSTALL_END(L"0x201a0001")}},
    {"UninstallOfAStoppedDriverStopsNothing", L"v1 stopped", {{2, L"%V1%"}}, kSuccess, L"",
     {UNINSTALL_V1(L"access 0"), L"uninf", UNINSTALL_END(L"0x201a0001")}},
    {"UninstallWithoutAServiceTouchesNoFile", L"v1 no-service", {{2, L"%V1%"}}, kFailed,
     L"v1 service=none driver=none key=none",
     {UNINSTALL_V1(L"access-gone 0"), L"3z fail to query driver[zyhok] status", UNINSTALL_END(L"0xe01a000c")}},
    // The driver is stopped and the components are gone before the INF removal fails.
    {"UninstallWhoseInfIsMissing", L"v1 v1/zyhok.inf=missing", {{2, L"%V1%"}}, kFailed,
     L"v1 service=stopped staged=none", {UNINSTALL_V1(L"access 0"), L"wait", L"uninf-missing",
                                         L"5z fail to uninstall zyhok by inf.", UNINSTALL_END(L"0xe01a000c")}},
    // A loaded DLL cannot be deleted but can be renamed: its name is freed at once and the renamed file goes
    // at the next reboot with every folder above it.
    {"UninstallRenamesALoadedEngineAside", L"v1 load-engine", {{2, L"%V1%"}}, kSuccess, L"queued=engine-tree",
     {UNINSTALL_V1(L"access 0"), L"wait", L"uninf", UNINSTALL_END(L"0x201a0001")}},
    // A file open without delete sharing cannot even be renamed: it waits under its own name.
    {"UninstallQueuesAnEngineOpenWithoutDeleteSharing", L"v1 open-engine", {{2, L"%V1%"}}, kSuccess, L"queued=own-tree",
     {UNINSTALL_V1(L"access 0"), L"wait", L"3z Rename file(%ENGINE%) failed. LastError = 0x20", L"uninf",
      UNINSTALL_END(L"0x201a0001")}},
    // ---- update ----
    {"UpdateOfTheRunningDriver", L"v1", {{1, L"%V2%"}}, kSuccess, L"v2 inf=v1", {UPDATED_V2}},
    {"UpdateInstallsAMissingDriverFromTheInfFirst", L"", {{1, L"%V2%"}}, kSuccess,
     L"v2-inf staged=v2 registered=v2 BootStatus=0xffffffff",
     {UPDATE_V2(L"0x1", L"access-gone 0", L"2z rDrvInfo.compare_state = 0"), L"exist-not", L"inf %V2%\\zyhok.inf",
      L"2z Success to install driver by INF%V2%\\zyhok.inf", L"backup %V2%\\", L"replace %V2%\\", STARTED,
      L"rename-empty *4", UPDATE_END(L"0x201a0001")}},
    // The stop before the reinstall leaves nothing running for the exchange to stop.
    {"UpdateReinstallsAServiceMarkedForDeletion", L"v1 DeleteFlag=1", {{3, L"%V2%"}}, kSuccess, L"v2 DeleteFlag=1",
     {UPDATE_V2(L"0x3", L"access 0"), L"exist", L"marked", L"wait", L"inf %V2%\\zyhok.inf", L"backup %V2%\\",
      L"replace %V2%\\", STARTED_NEW, L"done 0x201a0001"}},
    {"UpdateOfAMarkedServiceWithAClientInstance", L"v1 DeleteFlag=0xFFFFFFFF instance=15", {{1, L"%V2%"}}, kNotStopped,
     L"v1 DeleteFlag=0xffffffff staged=v1+v2 registered=v2",
     {UPDATE_V2_1, L"exist", L"marked", L"5z fail to stop ", L"backup %V2%\\", L"2z try to stop original driver: zyhok",
      L"5z fail to stop original driver: zyhok", UPDATE_END(L"0x201a0002")}},
    // Another product's INF install leaves no share values: the count starts at 1.
    {"UpdateTakesAShareInADriverOfAnotherProduct", L"v1-inf", {{1, L"%V2%"}}, kSuccess,
     L"v1-inf driver=v2 PermCount=1 InstalledByZefa=1 staged=v2 registered=v2 BootStatus=0xffffffff",
     {UPDATE_V2_1, L"exist", L"unmarked", L"2z zyhok is installed by other Velmora products, we should modify its "
      L"registry.", L"2z ==> ModifyZyhokRegistry,",
      L"3z fail to query registry: SYSTEM\\CurrentControlSet\\Services\\zyhok\\PermCount",
      L"3z fail to delete registry: SYSTEM\\CurrentControlSet\\Services\\zyhok\\DeleteFlag",
      L"2z <== ModifyZyhokRegistry,bRet = 0x1", EXCHANGE, STARTED, L"rename-empty *4", UPDATE_END(L"0x201a0001")}},
    {"UpdateTakesTheShareBackThatThisPlatformReleased", L"v1-inf InstalledByZefa=0 PermCount=3 DeleteFlag=0",
     {{1, L"%V2%"}}, kSuccess,
     L"v1-inf driver=v2 PermCount=4 InstalledByZefa=1 staged=v2 registered=v2 BootStatus=0xffffffff",
     {UPDATE_V2_1, L"exist", L"unmarked", L"2z zyhok is installed by other Velmora products, we should modify its "
      L"registry.", L"2z ==> ModifyZyhokRegistry,", L"2z <== ModifyZyhokRegistry,bRet = 0x1", EXCHANGE, STARTED,
      L"rename-empty *4", UPDATE_END(L"0x201a0001")}},
    {"UpdateOfThisPlatformsDriverTakesNoShare", L"v1-inf InstalledByZefa=1 PermCount=1 DeleteFlag=0", {{1, L"%V2%"}},
     kSuccess, L"v1-inf driver=v2 PermCount=1 InstalledByZefa=1 DeleteFlag=0 staged=v2 registered=v2 "
     L"BootStatus=0xffffffff",
     {UPDATE_V2_1, L"exist", L"unmarked", EXCHANGE, STARTED, L"rename-empty *4", UPDATE_END(L"0x201a0001")}},
    {"UpdateLeavesCraftedRegisteredPathsAlone", L"v1 decoys", {{1, L"%V2%"}}, kSuccess,
     L"v2 inf=v1 staged=v1+v2 decoys", {UPDATE_V2_1, L"exist", L"unmarked", EXCHANGE, STARTED, DECOY_E32,
     DECOY_E64, DECOY_A32, DECOY_A64, UPDATE_END(L"0x201a0001")}},
    // A component found staged but not registered (its registration was lost) is registered, and the copies
    // it replaces are retired like those of a component copied afresh.
    {"UpdateOverAnUnregisteredStagedAddOn", L"v1 stage=v2a", {{1, L"%V2%"}}, kSuccess, L"v2 inf=v1",
     {UPDATED_V2_AS(L"2.6.1100", L"1.0.6 old")}},
    {"UpdateOverAnUnregisteredStagedEngine", L"v1 stage=v2e", {{1, L"%V2%"}}, kSuccess, L"v2 inf=v1",
     {UPDATED_V2_AS(L"2.6.1100 old", L"1.0.6")}},
    // A package without its 32-bit engine stages that engine only in part: the v1 engine is not retired.
    {"UpdateFromAPackageWithoutA32BitEngine", L"v1 v2/zymon.dll=missing", {{1, L"%V2%"}}, kSuccess,
     L"v2 inf=v1 staged=v1e+v2-e32 %WOW%\\zyhok\\20019\\ZyMon\\2.6.1100=d",
     {UPDATED_V2_AS(L"2.6.1100 no32", L"1.0.6")}},
    // Without its 64-bit engine the package's engine version is unreadable: the 32-bit file goes straight
    // into the ZyMon folder, and the v1 engine is not retired.
    {"UpdateFromAPackageWithoutA64BitEngine", L"v1 v2/zymon64.dll=missing", {{1, L"%V2%"}}, kSuccess,
     L"v2 inf=v1 staged=v1e+v2a+v2e32. registered=v2e.", {UPDATED_V2_AS(L"- no64", L"1.0.6")}},
    // Without a registered 32-bit add-on the 64-bit copies in use are not looked up, so none is retired.
    {"UpdateOverComponentsWithoutAnAddOnRegistration", L"v1 -AddOn", {{1, L"%V2%"}}, kSuccess,
     L"v2 inf=v1 staged=v1e64+v1a+v2",
     {UPDATE_V2_1, L"exist", L"unmarked", EXCHANGE, STARTED, L"rename-empty *3", UPDATE_END(L"0x201a0001")}},
    {"UpdateWithHokFlagsBit0LeavesTheNewDriverStopped", L"v1 HokFlags=1 BootStatus=5", {{1, L"%V2%"}}, kSuccess,
     L"v2 inf=v1 service=stopped HokFlags=1 BootStatus=5",
     {UPDATE_V2_1, L"exist", L"unmarked", EXCHANGE, L"ensure", UPDATE_END(L"0x201a0001")}},
    {"UpdateWithHokFlagsBit1StartsTheNewDriver", L"v1 HokFlags=2 BootStatus=5", {{1, L"%V2%"}}, kSuccess,
     L"v2 inf=v1 HokFlags=2", {UPDATED_V2}},
    {"UpdateWhoseNewDriverIsRefusedWith1305", L"v1 entry=0xc0000058 BootStatus=7", {{3, L"%V2%"}}, kSuccess,
     L"v2 inf=v1 service=stopped BootStatus=7 TestDriverEntryStatus=0xc0000058",
     {UPDATE_V2(L"0x3", L"access 0"), L"exist", L"unmarked", EXCHANGE, L"ensure", L"start-fail 0x519",
      L"5z fail to start new driver.zyhok", L"2z Not support on this platform.", UPDATE_END(L"0x201a0001")}},
    // A DriverEntry that refuses is not used here: Wine's driver host releases the refused image only after
    // StartServiceW has returned, so the rollback would race with it. A file that cannot be loaded at all
    // fails the start without holding the file; the old driver is not started again.
    {"UpdateWhoseNewDriverDoesNotLoadIsRolledBack", L"v1 -BootStatus v2/zyhok.sys=junk", {{1, L"%V2%"}}, kRestored,
     L"v1 service=stopped staged=v1+v2 registered=v2",
     {UPDATE_V2_1, L"exist", L"unmarked", EXCHANGE, L"ensure", L"start-fail 0x45a",
      L"5z fail to start new driver.zyhok", ROLLBACK, UPDATE_END(L"0xe01a000b")}},
    {"UpdateWhoseBackupIsRefused", L"v1 v2/zyhok_backup.sys=folder", {{1, L"%V2%"}}, kFailed,
     L"v1 staged=v1+v2 registered=v2",
     {UPDATE_V2_1, L"exist", L"unmarked", L"backup %V2%\\", L"5z Copy file failed.0x10b",
      L"2z backup original driver file failed.", L"2z delete backup file %V2%\\zyhok_backup.sys failed",
      UPDATE_END(L"0xe01a000c")}},
    {"UpdateWhoseReplaceAndRollbackAreRefused", L"v1 hold-driver", {{1, L"%V2%"}}, kRollbackFailed,
     L"v1 service=stopped staged=v1+v2 registered=v2",
     {UPDATE_V2_1, L"exist", L"unmarked", EXCHANGE, L"5z Copy file failed.0x5",
      L"5z replace original driver file with new ones failed.", ROLLBACK, L"5z Copy file failed.0x5",
      L"5z rollback to original driver file failed.", UPDATE_END(L"0xe01a000e")}},
    // Without its driver file the package backs up the installed one but cannot replace it. 0xE01A000C ends
    // the batch: the uninstall after it is never dispatched.
    {"UpdateWhoseReplacementFailsRestartsTheOldDriver", L"v1 v2/zyhok.sys=missing", {{3, L"%V2%"}, {2, L"%V1%"}},
     kFailed, L"v1 staged=v1+v2 registered=v2",
     {UPDATE_V2(L"0x3", L"access 0"), L"exist", L"unmarked", NOT_REPLACED, L"start", UPDATE_END(L"0xe01a000c")}},
    ROLLBACK_RESTART_REFUSED("1275", L"0xc000036c", L"0x4fb", L"2z Blocked by boot status.", kSuccess, L"0x201a0001"),
    ROLLBACK_RESTART_REFUSED("1305", L"0xc0000058", L"0x519", L"2z Not support on this platform.", kSuccess,
                             L"0x201a0001"),
    ROLLBACK_RESTART_REFUSED("31", L"0xc0000001", L"0x1f", L"5z start original driver file failed.", kRollbackFailed,
                             L"0xe01a000e"),
    // The held engine is renamed aside; the copies nobody held go at once, with their folders.
    {"UpdateRenamesALoadedEngineAside", L"v1 load-engine", {{1, L"%V2%"}}, kSuccess, L"v2 inf=v1 queued=engine",
     {UPDATED_V2}},
    // The catalogue copy depends on the version that the host process is told at its start.
    {"UpdateInAWindows7HostCopiesNoCatalogue", L"host=win7", {{3, L"%V2%"}}, kSuccess,
     L"v2-inf staged=v2 registered=v2 BootStatus=0xffffffff",
     {L"load", UPDATE_V2(L"0x3", L"access-gone 0"), L"exist-not", L"inf %V2%\\zyhok.inf",
      L"2z Success to install driver by INF%V2%\\zyhok.inf", L"backup %V2%\\", L"replace %V2%\\", STARTED,
      L"rename-empty *4", UPDATE_END(L"0x201a0001")}},
    {"UpdateInAHostWithoutAWindows10ManifestCopiesNoCatalogue", L"v1 host=win10", {{3, L"%V2%"}}, kSuccess,
     L"v2 inf=v1",
     {L"load", UPDATE_V2(L"0x3", L"access 0"), L"exist", L"unmarked", EXCHANGE, STARTED_NEW, L"done 0x201a0001"}},
    // A second update finds the first one's catalogue copy and overwrites it.
    {"UpdateInAWindows10HostCopiesTheCatalogue", L"v1 catalogue=v1 host=win10+manifest", {{3, L"%V2%"}}, kSuccess,
     L"v2 inf=v1 catalogue=v2",
     {L"load", UPDATE_V2(L"0x3", L"access 0"), L"2z The OS platform is win10 or above.",
      L"2z wsSystemPath : %SYS%\\zyhok.cat", L"2z wsCatFilePath : %V2%\\zyhok.cat", L"exist", L"unmarked", EXCHANGE,
      STARTED_NEW, L"done 0x201a0001"}},
    // ---- the batch ----
    {"PathsThatFitNoBufferAreRefusedByEveryAction", L"v1", {{0, L"%LONG%"}, {1, L"%LONG%"}, {2, L"%LONG%"}}, kRefused,
     L"v1",
     {L"act 0 0", L"2z ==> InstallDrvFromDrvInfo,", L"2z Normalize the driver path failed.", L"done 0xe01a000a",
      L"act 0x1 0", L"access 0", L"2z rDrvInfo.compare_state = 0", L"2z ==> UpdateDrvFromDrvInfo,",
      L"2z Normalize the driver path failed.", L"access 1", L"done 0xe01a000a", L"act 0x2 0",
      L"2z ==> UninstallDrvFromDrvInfo,", L"2z Normalize the driver path failed.", L"done 0xe01a000a"}},
    // A share of 2 lets the uninstall succeed without a driver: it only lowers the count.
    {"UnknownActionIsSkippedAndTheBatchGoesOn", L"PermCount=2", {{7, L"%V1%", 5}, {2, L"%V1%"}}, kSuccess,
     L"PermCount=1 InstalledByZefa=0",
     {L"act 0x7 0x5", L"done 0xe01a000a", UNINSTALL_V1(L"access-gone 0"), UNINSTALL_END(L"0x201a0001")}},
    {"RecordFailingWithE01A000CEndsTheBatch", L"", {{2, L"%V1%"}, {0, L"%V1%", 9}}, kFailed, L"",
     {UNINSTALL_V1(L"access-gone 0"), L"3z fail to query driver[zyhok] status", UNINSTALL_END(L"0xe01a000c")}},
    // ---- the status export alone ----
    {"StatusOfAServiceWhoseFileIsMissing", L"v1-inf stopped no-driver-file", {}, 0,
     L"v1-inf service=stopped driver=none",
     {L"2z The current state of zyhok is 0x1", L"2z Query Version of driver: %DRIVERS%zyhok.sys",
      L"5z Query Version failed, driver: %DRIVERS%zyhok.sys", L"3z Query driver zyhok version failed!",
      L"2z driver version: 1.0"}},
};

// clang-format on

}  // namespace

const std::vector<Scenario>& LifecycleScenarios() { return kScenarios; }
const Scenario& LifecycleScenario(const std::string& name) {
  for (const Scenario& row : kScenarios) {
    if (row.name == name) return row;
  }
  ADD_FAILURE() << "no lifecycle row " << name;
  return kScenarios.front();
}

}  // namespace zyhok_test
