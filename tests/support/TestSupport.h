#pragma once

#include <windows.h>

#include <string>

#include "base/Clock.h"

// Freezes the caches' clock for one test, so lifetimes pass instantly. Each test starts an hour
// after the previous one ended, so entries left in process-wide caches have expired.
class CFrozenClock {
public:
    CFrozenClock();
    ~CFrozenClock();
    CFrozenClock(const CFrozenClock&) = delete;
    CFrozenClock& operator=(const CFrozenClock&) = delete;

    void AdvanceSeconds(uint64_t seconds) { AdvanceTicks(seconds * CClock::TicksPerSecond); }
    void AdvanceTicks(uint64_t ticks);
};

// A fresh folder under the temporary directory, removed with everything in it afterwards.
class CTempDir {
public:
    explicit CTempDir(const std::wstring& nameHint = L"orbeth");
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    const std::wstring& Path() const { return m_path; }
    // The path of a child, joined with a backslash.
    std::wstring Child(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};

// Runs SQL (several statements allowed) on a database file, creating it if needed.
// Fails the calling test on any SQLite error.
void ExecSql(const std::wstring& dbPath, const char* sql);

// Writes raw bytes to a file, replacing it.
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
