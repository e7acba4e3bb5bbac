#include "tools/standin/UrlCapture.h"

#include <shellapi.h>

#include "base/RegistryKey.h"
#include "base/Utf8.h"
#include "tools/standin/StandInClient.h"

namespace {

// HKCR\http\shell\open\command as it is stored; Wine ignores the same key under HKCU.
constexpr wchar_t HandlerKey[] = L"Software\\Classes\\http\\shell\\open\\command";
// Its parents, from the top, then itself: the first one missing is the one we make.
constexpr const wchar_t* HandlerKeyChain[] = {L"Software\\Classes\\http", L"Software\\Classes\\http\\shell",
                                              L"Software\\Classes\\http\\shell\\open", HandlerKey};

std::wstring ModuleDirectory()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path, length);
    return directory.substr(0, directory.find_last_of(L'\\') + 1);
}

// The complete records of the output file; a launch still writing its record is not one yet.
std::vector<std::wstring> ReadRecords(const std::wstring& file)
{
    std::vector<std::wstring> records;
    const CHandle handle(
        NullIfInvalid(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
    std::string data;
    char buffer[16 * 1024];
    DWORD read = 0;
    while (handle && ReadFile(handle.Get(), buffer, sizeof buffer, &read, nullptr) && read > 0)
        data.append(buffer, read);

    for (size_t start = 0, end; (end = data.find(UrlCaptureRecordEnd, start)) != std::string::npos; start = end + 1) {
        std::wstring record;
        if (!Utf8ToWide(std::string_view(data).substr(start, end - start), &record))
            record = L"(not UTF-8)";
        records.push_back(record);
    }
    return records;
}

} // namespace

CUrlCapture::CUrlCapture()
{
    if (m_folder.Path().empty()) {
        Fail("cannot make the capture's folder");
        return;
    }
    m_outputFile = m_folder.Child(L"urls.txt");
    if (!CHandle(NullIfInvalid(CreateFileW(m_outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr)))) {
        Fail("cannot make the capture's output file");
        return;
    }
    // Auto-reset: each launch wakes one wait, which then reads the file again.
    m_launched.Reset(CreateEventW(nullptr, FALSE, FALSE, UrlCaptureEventName(m_outputFile).c_str()));
    if (!m_launched) {
        Fail("cannot make the capture's event");
        return;
    }

    CRegistryKey key;
    m_hadKey = key.Open(HKEY_LOCAL_MACHINE, HandlerKey, KEY_QUERY_VALUE) == ERROR_SUCCESS;
    if (m_hadKey) {
        DWORD bytes = 0;
        m_hadValue = RegQueryValueExW(key.Get(), nullptr, nullptr, &m_previousType, nullptr, &bytes) == ERROR_SUCCESS;
        m_previousValue.resize(bytes);
        if (m_hadValue && RegQueryValueExW(key.Get(), nullptr, nullptr, &m_previousType, m_previousValue.data(),
                                           &bytes) != ERROR_SUCCESS) {
            Fail("cannot read the http URL handler");
            return;
        }
        m_previousValue.resize(bytes);
    } else {
        for (const wchar_t* path : HandlerKeyChain) {
            CRegistryKey existing;
            if (existing.Open(HKEY_LOCAL_MACHINE, path, KEY_QUERY_VALUE) != ERROR_SUCCESS) {
                m_createdKey = path;
                break;
            }
        }
    }

    // Quoted as a browser registers itself, so the URL reaches it as the browser's would.
    const std::wstring command =
        L"\"" + ModuleDirectory() + L"orbeth_url_capture.exe\" \"" + m_outputFile + L"\" \"%1\"";
    if (key.Create(HKEY_LOCAL_MACHINE, HandlerKey, KEY_SET_VALUE) != ERROR_SUCCESS) {
        Fail("cannot create the http URL handler's key");
        return;
    }
    m_registered = true;
    if (!SetCommand(command))
        Fail("cannot register the capture as the http URL handler");
}

bool CUrlCapture::SetCommand(const std::wstring& command)
{
    CRegistryKey key;
    return key.Open(HKEY_LOCAL_MACHINE, HandlerKey, KEY_SET_VALUE) == ERROR_SUCCESS &&
           RegSetValueExW(key.Get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                          static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

CUrlCapture::~CUrlCapture()
{
    if (m_registered) {
        if (!m_hadKey) {
            if (!m_createdKey.empty())
                RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_createdKey.c_str());
        } else if (CRegistryKey key; key.Open(HKEY_LOCAL_MACHINE, HandlerKey, KEY_SET_VALUE) == ERROR_SUCCESS) {
            if (m_hadValue)
                RegSetValueExW(key.Get(), nullptr, 0, m_previousType, m_previousValue.data(),
                               static_cast<DWORD>(m_previousValue.size()));
            else
                RegDeleteValueW(key.Get(), nullptr);
        }
    }
}

bool CUrlCapture::Fail(const std::string& message)
{
    m_error = message;
    return false;
}

bool CUrlCapture::WaitForUrls(size_t count, DWORD timeoutMs) const
{
    if (!m_launched)
        return false;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    // The event only says "look again": two launches may have set it once.
    for (;;) {
        if (ReadRecords(m_outputFile).size() >= count)
            return true;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return false;
        WaitForSingleObject(m_launched.Get(), static_cast<DWORD>(deadline - now));
    }
}

std::vector<std::wstring> CUrlCapture::RawCommandLines() const
{
    return ReadRecords(m_outputFile);
}

std::vector<std::vector<std::wstring>> CUrlCapture::Arguments() const
{
    std::vector<std::vector<std::wstring>> launches;
    for (const std::wstring& line : RawCommandLines()) {
        std::vector<std::wstring> arguments;
        int count = 0;
        if (LPWSTR* parsed = CommandLineToArgvW(line.c_str(), &count)) {
            // The program, then the output file; the rest is what the browser would get.
            for (int i = 2; i < count; ++i)
                arguments.emplace_back(parsed[i]);
            LocalFree(parsed);
        }
        launches.push_back(arguments);
    }
    return launches;
}

std::vector<std::wstring> CUrlCapture::Urls() const
{
    std::vector<std::wstring> urls;
    for (const std::vector<std::wstring>& arguments : Arguments()) {
        std::wstring url;
        for (size_t i = 0; i < arguments.size(); ++i)
            url += (i ? L" " : L"") + arguments[i];
        urls.push_back(url);
    }
    return urls;
}
