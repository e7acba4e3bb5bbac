#include "doctor/Machine.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>
#include <cwctype>

#include "base/RegistryKey.h"
#include "base/Socket.h"
#include "base/SystemFunction.h"
#include "base/UniqueHandle.h"

namespace Machine {

bool ReadString(HKEY root, const std::wstring& key, const wchar_t* value, std::wstring* text, REGSAM view)
{
    CRegistryKey opened;
    if (opened.Open(root, key.c_str(), KEY_QUERY_VALUE | view) != ERROR_SUCCESS)
        return false;
    // The size may grow between the two calls; a few tries are enough.
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD bytes = 0;
        // An expandable string comes expanded, as text.
        const DWORD types = RRF_RT_REG_SZ;
        if (RegGetValueW(opened.Get(), nullptr, value, types, nullptr, nullptr, &bytes) != ERROR_SUCCESS)
            return false;
        std::wstring buffer(bytes / sizeof(wchar_t) + 1, L'\0');
        bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
        const LONG result = RegGetValueW(opened.Get(), nullptr, value, types, nullptr, buffer.data(), &bytes);
        if (result == ERROR_SUCCESS) {
            buffer.resize(wcsnlen(buffer.c_str(), buffer.size()));
            *text = std::move(buffer);
            return true;
        }
        if (result != ERROR_MORE_DATA)
            return false;
    }
    return false;
}

bool KeyExists(HKEY root, const std::wstring& key, REGSAM view)
{
    CRegistryKey opened;
    return opened.Open(root, key.c_str(), KEY_READ | view) == ERROR_SUCCESS;
}

std::vector<std::wstring> Subkeys(HKEY root, const std::wstring& key)
{
    std::vector<std::wstring> names;
    CRegistryKey opened;
    if (opened.Open(root, key.c_str(), KEY_READ) != ERROR_SUCCESS)
        return names;
    // A key name has at most 255 characters.
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumKeyExW(opened.Get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, length);
    }
    return names;
}

CClassRegistration ReadClass(const std::wstring& clsid)
{
    CClassRegistration found;
    const std::wstring key = L"Software\\Classes\\CLSID\\" + clsid, server = key + L"\\InprocServer32";
    found.machineRegistered = KeyExists(HKEY_LOCAL_MACHINE, key);
    found.registered = found.machineRegistered || KeyExists(HKEY_CURRENT_USER, key);
    ReadString(HKEY_LOCAL_MACHINE, server, nullptr, &found.machineFile);
    // The merge goes key by key: a per-user InprocServer32 hides the machine's, values and all.
    const HKEY hive = KeyExists(HKEY_CURRENT_USER, server) ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    if (hive == HKEY_CURRENT_USER)
        found.userKey = L"HKCU\\" + key;
    ReadString(hive, server, nullptr, &found.file);
    ReadString(hive, server, L"ThreadingModel", &found.model);
    return found;
}

bool ServerFileExists(const std::wstring& file)
{
    if (file.empty())
        return false;
    if (file.find_first_of(L"\\/") != std::wstring::npos)
        return GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES;
    wchar_t found[MAX_PATH];
    return SearchPathW(nullptr, file.c_str(), nullptr, MAX_PATH, found, nullptr) != 0;
}

bool PackageExternalFolder(const std::wstring& fullName, std::wstring* folder)
{
    // Looked up when needed: Wine's kernelbase lacks it, and a missing import would stop the doctor.
    using CGetPath = LONG(WINAPI*)(PCWSTR, int, UINT32*, PWSTR);
    constexpr int EffectiveExternal = 5; // PackagePathType_EffectiveExternal, appmodel.h
    const auto getPath = SystemFunction<CGetPath>(L"kernelbase.dll", "GetPackagePathByFullName2");
    UINT32 length = 0;
    if (!getPath || getPath(fullName.c_str(), EffectiveExternal, &length, nullptr) != ERROR_INSUFFICIENT_BUFFER)
        return false;
    std::wstring path(length, L'\0');
    if (getPath(fullName.c_str(), EffectiveExternal, &length, path.data()) != ERROR_SUCCESS)
        return false;
    path.resize(wcsnlen(path.c_str(), path.size()));
    *folder = std::move(path);
    return true;
}

std::wstring FileVersion(const std::wstring& file)
{
    using CLibrary = CUniqueHandle<HMODULE, &FreeLibrary>;
    const CLibrary image(
        LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    HRSRC found = image ? FindResourceW(image.Get(), MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION) : nullptr;
    HGLOBAL loaded = found ? LoadResource(image.Get(), found) : nullptr;
    const auto* block = static_cast<const BYTE*>(loaded ? LockResource(loaded) : nullptr);
    const DWORD size = found ? SizeofResource(image.Get(), found) : 0;
    // The fixed part follows the block's header and its key, on a 32-bit boundary: found by its
    // signature rather than by working out the padding.
    for (DWORD at = 0; block && at + sizeof(VS_FIXEDFILEINFO) <= size; at += 4) {
        VS_FIXEDFILEINFO fixed;
        memcpy(&fixed, block + at, sizeof(fixed));
        if (fixed.dwSignature != 0xFEEF04BD)
            continue;
        return std::to_wstring(HIWORD(fixed.dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(fixed.dwFileVersionMS)) +
               L"." + std::to_wstring(HIWORD(fixed.dwFileVersionLS)) + L"." +
               std::to_wstring(LOWORD(fixed.dwFileVersionLS));
    }
    return {};
}

std::wstring OwnFolder()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            return path.substr(0, path.find_last_of(L'\\') + 1);
        }
        path.resize(path.size() * 2);
    }
}

namespace {

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// A name Windows reserves for a device in any folder, with or without an extension: "CON",
// "nul.txt", "COM1 ".
bool IsDeviceName(std::wstring name, std::wstring* device)
{
    name = name.substr(0, name.find(L'.'));
    while (!name.empty() && (name.back() == L' ' || name.back() == L':'))
        name.pop_back();
    for (wchar_t& c : name)
        c = static_cast<wchar_t>(std::towupper(c));
    static const wchar_t* const Fixed[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    bool reserved = false;
    for (const wchar_t* fixed : Fixed)
        reserved |= name == fixed;
    if (name.size() == 4 && (name.rfind(L"COM", 0) == 0 || name.rfind(L"LPT", 0) == 0) && name[3] >= L'1' &&
        name[3] <= L'9')
        reserved = true;
    if (reserved)
        *device = name;
    return reserved;
}

} // namespace

PathKind ClassifyPath(const std::wstring& path, std::wstring* device)
{
    if (path.empty())
        return PathKind::Empty;
    if (path.size() > UNICODE_STRING_MAX_CHARS)
        return PathKind::TooLong;
    const bool twoSeparators = path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
    const bool prefixed =
        twoSeparators && path.size() >= 4 && (path[2] == L'?' || path[2] == L'.') && IsSeparator(path[3]);
    // "\\host\share\x", and its extended form "\\?\UNC\host\share\x".
    if ((twoSeparators && !prefixed) || _wcsnicmp(path.c_str(), L"\\\\?\\UNC\\", 8) == 0)
        return PathKind::Network;
    if (prefixed && path[2] == L'.') {
        *device = path.substr(4);
        return PathKind::Device;
    }
    // Behind "\\?\" names are taken as they are: there, "CON" is a file like any other.
    const std::wstring local = prefixed ? path.substr(4) : path;
    for (size_t start = 0; !prefixed && start <= local.size();) {
        size_t end = start;
        while (end < local.size() && !IsSeparator(local[end]))
            ++end;
        if (IsDeviceName(local.substr(start, end - start), device))
            return PathKind::Device;
        start = end + 1;
    }
    const bool absolute = local.size() >= 3 && std::iswalpha(local[0]) && local[1] == L':' && IsSeparator(local[2]);
    return absolute ? PathKind::Local : PathKind::Relative;
}

PathKind JudgePath(const std::wstring& given, std::wstring* judged, std::wstring* device)
{
    // No name holds a quote: one at the end is what the command line left of "C:\Folder\".
    const size_t first = given.find_first_not_of(L" \"");
    std::wstring path =
        first == std::wstring::npos ? std::wstring() : given.substr(first, given.find_last_not_of(L" \"") - first + 1);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    *judged = path;
    const PathKind kind = ClassifyPath(path, device);
    if (kind == PathKind::Network && _wcsnicmp(path.c_str(), L"\\\\?\\UNC\\", 8) == 0)
        *judged = L"\\" + path.substr(7);
    if (kind != PathKind::Local && kind != PathKind::Relative)
        return kind;
    // "\\?\C:\x" is full already, and its names are taken as they are.
    if (path.rfind(L"\\\\?\\", 0) == 0)
        *judged = path.substr(4);
    else {
        std::wstring full(MAX_PATH, L'\0');
        for (int attempt = 0; attempt < 3; ++attempt) {
            const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
            if (length == 0)
                break;
            if (length < full.size()) {
                *judged = full.substr(0, length);
                break;
            }
            full.resize(length);
        }
    }
    while (judged->size() > 3 && judged->back() == L'\\')
        judged->pop_back();
    return ClassifyPath(*judged, device) == PathKind::Network ? PathKind::Network : PathKind::Local;
}

bool AcceptsConnection(const wchar_t* address, uint16_t port, DWORD timeoutMs)
{
    const CWinsock winsock;
    if (!winsock.Started())
        return false;
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    if (InetPtonW(AF_INET, address, &target.sin_addr) != 1)
        return false;
    const CSocket connection(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    u_long nonBlocking = 1;
    if (connection.Get() == INVALID_SOCKET || ioctlsocket(connection.Get(), FIONBIO, &nonBlocking) != 0)
        return false;
    if (connect(connection.Get(), reinterpret_cast<const sockaddr*>(&target), sizeof(target)) == 0)
        return true;
    if (WSAGetLastError() != WSAEWOULDBLOCK)
        return false;
    // Within the timeout, the socket becomes writable once connected, or reports its failure.
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(connection.Get(), &writable);
    FD_SET(connection.Get(), &failed);
    timeval wait{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000 * 1000)};
    if (select(0, nullptr, &writable, &failed, &wait) <= 0 || FD_ISSET(connection.Get(), &failed))
        return false;
    int error = 0;
    int length = sizeof(error);
    return getsockopt(connection.Get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) == 0 &&
           error == 0;
}

} // namespace Machine
