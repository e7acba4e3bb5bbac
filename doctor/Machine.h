#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// What the doctor reads of the machine beyond what the module itself reads. Only reads: every
// key is opened for reading, every file as data.
namespace Machine {

// A string value (an expandable one expanded) of a key in the view (0, KEY_WOW64_32KEY or
// KEY_WOW64_64KEY); false when the key or the value is missing or is not text.
bool ReadString(HKEY root, const std::wstring& key, const wchar_t* value, std::wstring* text, REGSAM view = 0);
bool KeyExists(HKEY root, const std::wstring& key, REGSAM view = 0);
// The names of the key's subkeys, in the registry's order.
std::vector<std::wstring> Subkeys(HKEY root, const std::wstring& key);

// A COM class as the file manager finds it for the user who runs the doctor. COM reads the merged
// HKCR, where a per-user InprocServer32 (HKCU\Software\Classes) overrides the machine's; Wine's
// HKCR shows only the machine's, so both hives are read here.
struct CClassRegistration {
    bool registered = false;  // a key in either hive
    std::wstring file, model; // what the InprocServer32 that counts names
    std::wstring userKey;     // "HKCU\Software\Classes\CLSID\{...}" when a per-user InprocServer32 overrides
    bool machineRegistered = false;
    std::wstring machineFile; // what the machine's InprocServer32 names
};
CClassRegistration ReadClass(const std::wstring& clsid);
// Whether a file an InprocServer32 names is there: a bare name is looked for where LoadLibrary
// looks (the system folders, then PATH).
bool ServerFileExists(const std::wstring& file);

// The external location a package (by its full name) is registered with for this user, from the
// package manager; false where it cannot be asked (before Windows 10 2004, and under Wine) or has
// none for it.
bool PackageExternalFolder(const std::wstring& fullName, std::wstring* folder);

// "1.2.3.4" from the file's version resource, read as data (nothing of the file runs); empty
// when it has none or cannot be read.
std::wstring FileVersion(const std::wstring& file);
// The folder of this program, with a trailing backslash.
std::wstring OwnFolder();

enum class PathKind { Local, Empty, TooLong, Relative, Device, Network };
// What kind of path an argument is, from its text alone: nothing is opened. device gets the
// device name a Device path uses.
PathKind ClassifyPath(const std::wstring& path, std::wstring* device);
// A path as a person types it, made into what the file manager would ask about: spaces around it
// and the quote a command line leaves of "C:\Folder\" dropped, "/" read as "\", the "\\?\" and
// "\\?\UNC\" prefixes taken off, and a local path made full against the current folder
// (GetFullPathNameW), without a trailing backslash but at a drive's root. Never Relative.
PathKind JudgePath(const std::wstring& given, std::wstring* judged, std::wstring* device);

// Whether something accepts a TCP connection on the IPv4 address and port within the timeout.
// Connects and closes: nothing is sent.
bool AcceptsConnection(const wchar_t* address, uint16_t port, DWORD timeoutMs);

} // namespace Machine
