#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A program beside the running one (the doctor shipped beside the DLL), started as a user starts
// it from a prompt (in currentFolder, else the caller's), each argument quoted: its exit code, 99
// when it did not start or end within a minute, and what it wrote to its output and error
// streams, line ends as "\n".
DWORD RunProgramBeside(const wchar_t* file, const std::vector<std::wstring>& arguments, std::string* output,
                       const wchar_t* currentFolder = nullptr);

// Text for expectations and messages, as UTF-8.
std::string Utf8(const std::wstring& text);

// A file beside the running program.
std::wstring Beside(const wchar_t* file);
