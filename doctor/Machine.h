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

// Whether something accepts a TCP connection on the IPv4 address and port within the timeout.
// Connects and closes: nothing is sent.
bool AcceptsConnection(const wchar_t* address, uint16_t port, DWORD timeoutMs);

} // namespace Machine
