#pragma once

#include <windows.h>

#include <utility>
#include <vector>

// Self-registration: the module's registry scripts (REGISTRY resources) run through the script
// interpreter with the module's path and AppID as replacements.
using CReplacements = std::vector<std::pair<const wchar_t*, const wchar_t*>>;

HRESULT UpdateRegistryFromResource(UINT resource, bool registering, const CReplacements& extra = {});
// The AppID script, then every class in table order; the first failure stops the pass.
HRESULT RegisterServer();
// Every class in table order, then the AppID script.
HRESULT UnregisterServer();

// What the exports do: the approved shell extensions (on the NT family; without the right to
// approve them nothing is registered), then the scripts; unregistration removes both; install
// runs one or the other and takes back a failed registration.
HRESULT RegisterModule();
HRESULT UnregisterModule();
HRESULT InstallModule(bool install);

// HKLM's list of the shell extensions that the file manager may load, and ours in it, in the
// order registration writes them.
extern const wchar_t ApprovedExtensionsKey[];
struct CApprovedExtension {
    const wchar_t* clsid;
    const wchar_t* name;
};
inline constexpr size_t ApprovedExtensionCount = 4;
extern const CApprovedExtension ApprovedExtensions[ApprovedExtensionCount];
