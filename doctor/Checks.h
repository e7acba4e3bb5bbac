#pragma once

#include <string>

class CReport;

// The report's sections, each added to the report in turn. They only read.
// The module's registration: its classes, their file and its version, the approvals, the menu's
// keys and the helper object's.
void CheckModule(CReport& report, const std::wstring& doctorVersion);
// The Windows 11 menu's package: registered for this user, and for the DLL's folder?
void CheckPackage(CReport& report);
// The overlay identifiers in the order the file manager takes them, and where ours stand.
void CheckOverlaySlots(CReport& report);
// The sync client: its registry key, folders, databases, user, service and local web service.
void CheckClient(CReport& report);
// One path: the badge the module would show and why, and the menu it would get alone.
void CheckPath(CReport& report, const std::wstring& path);

// What registers the module, for the report's remedies.
std::string RegisterCommand();
