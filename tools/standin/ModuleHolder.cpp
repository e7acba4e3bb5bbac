// Holds the registered DLL loaded, as a running file manager does, until a given file appears
// (at most two minutes): the installer tests install over it. Prints the loaded file's path.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <cstdio>

namespace {

const CLSID OkOverlayClsid = {0xc6012e3e, 0x84ec, 0x4b94, {0xbe, 0x19, 0xb4, 0xf6, 0xf1, 0x86, 0xda, 0x6d}};

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2 || FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 2;
    int exitCode = 1;
    {
        Microsoft::WRL::ComPtr<IShellIconOverlayIdentifier> overlay;
        wchar_t path[MAX_PATH] = {};
        if (SUCCEEDED(CoCreateInstance(OkOverlayClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IShellIconOverlayIdentifier,
                                       reinterpret_cast<void**>(overlay.GetAddressOf()))) &&
            GetModuleFileNameW(GetModuleHandleW(L"OrbethExtensions.dll"), path, MAX_PATH)) {
            std::printf("loaded %ls\n", path);
            std::fflush(stdout);
            for (int i = 0; i < 1200 && GetFileAttributesW(argv[1]) == INVALID_FILE_ATTRIBUTES; ++i)
                Sleep(100);
            exitCode = 0;
        }
    }
    CoUninitialize();
    return exitCode;
}
