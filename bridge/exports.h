#pragma once
// The plug-in's entry points with their ordinals. ELF has no ordinals: the version script
// exports exactly these names, and a test checks the module against this table.

namespace tovik::bridge {

struct ExportEntry {
    int ordinal;
    const char* name;
};

inline constexpr ExportEntry kExports[] = {
    {1, "DllCanUnloadNow"},
    {2, "DllGetClassObject"},
    {3, "DllRegisterServer"},
    {4, "DllUnregisterServer"},
};

}  // namespace tovik::bridge
