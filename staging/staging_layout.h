// Where the components are staged and how the driver is pointed at them: the one table of these names,
// used by the library and by zyhost. Header only, depending on nothing.
//
//   <root>\zyhok\20019\ZyMon\<version>\zymon64.dll (zymon.dll under SysWOW64)    engine
//   <root>\zyhok\20019\AddOn\<version>\ZyHkEvt64.dll (ZyHkEvt.dll under SysWOW64) add-on
//
// <root> is the system folder for the 64-bit files and SysWOW64 for the 32-bit ones; <version> is the
// FileVersion text of the component's 64-bit file (left out when it names no folder).
#pragma once

namespace zyhok {

// The staging folder below each root, and the package folder component that the add-on's source is found
// beside (...\20019\A\A\AddOn for a package ...\20019\A...).
inline constexpr const wchar_t* kStagingFolder = L"\\zyhok\\20019";
inline constexpr const wchar_t* kPackageMarker = L"20019";

// One staged component: its branch folder below kStagingFolder and its two files.
struct ComponentLayout {
  const wchar_t* branch;  // "ZyMon" or "AddOn"
  const wchar_t* file64;  // staged under the system folder
  const wchar_t* file32;  // staged under SysWOW64
};
inline constexpr ComponentLayout kEngineLayout = {L"ZyMon", L"zymon64.dll", L"zymon.dll"};
inline constexpr ComponentLayout kAddOnLayout = {L"AddOn", L"ZyHkEvt64.dll", L"ZyHkEvt.dll"};
inline constexpr const ComponentLayout* kComponentLayouts[] = {&kEngineLayout, &kAddOnLayout};

// Where the driver finds the staged copies, under its service key (kServiceKey): the engine's paths in
// values of the key itself, each with its device form in the value of the same name and "Dev" appended;
// the add-on's in a sub-key each, as "path", its device form "devpath", and "version".
inline constexpr const wchar_t* kEngineValue64 = L"ZYHOKMonDll64Name";
inline constexpr const wchar_t* kEngineValue32 = L"ZYHOKMonDllName";
inline constexpr const wchar_t* kEngineDeviceValue64 = L"ZYHOKMonDll64NameDev";
inline constexpr const wchar_t* kEngineDeviceValue32 = L"ZYHOKMonDllNameDev";
inline constexpr const wchar_t* kAddOnKey64 = L"AddOn\\ZyHkEvt64";
inline constexpr const wchar_t* kAddOnKey32 = L"AddOn\\ZyHkEvt";
inline constexpr const wchar_t* kAddOnPathValue = L"path";
inline constexpr const wchar_t* kAddOnDevicePathValue = L"devpath";
inline constexpr const wchar_t* kAddOnVersionValue = L"version";

}  // namespace zyhok
