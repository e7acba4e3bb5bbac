#pragma once

#include <windows.h>
#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "base/UniqueHandle.h"
#include "base/KernelHandle.h"

using CSqliteConnection = CUniqueHandle<sqlite3*, &sqlite3_close_v2>;

// The stand-in client's writer, in a process of its own as the client is: it rewrites sync.db
// (statuses changed, rows removed and added, new batches) every few milliseconds, and injects
// the database faults when told to. One command line in, one reply line out:
//   lock / unlock        holds the database with BEGIN EXCLUSIVE until told to let go
//   corrupt / truncate   keeps a copy, then overwrites the file with garbage or cuts it in half
//   restore              writes the copy back over the damaged file
//   replace              renames a new file (a copy with a rewrite and a new batch) over it
//   quiet                stops writing, answering "<rewrites> <failed rewrites>"
//   quit
// A reply starting with "error" means the command failed.
int RunWriter(const std::wstring& syncDb, uint32_t draw);

// The run's side of the writer: the process started from this program with "writer".
class CWriterProcess {
public:
    bool Start(const std::wstring& syncDb, uint32_t draw, int items);
    // The reply to one command; empty when the writer is gone.
    std::string Ask(const std::string& command);
    // Lets go of the pipes, so a writer still running sees the end and leaves; then waits for it.
    ~CWriterProcess();

private:
    CHandle m_process, m_commands, m_replies;
};
