#pragma once

#include <objidl.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include <string>
#include <vector>

// What the file manager hands a context menu handler for a selection of files: a data object
// whose CF_HDROP is a wide drop list of the paths in order. Null when it cannot be made.
// Returned owned: this MinGW's ComPtr::Attach adds a reference, so nobody should need it.
Microsoft::WRL::ComPtr<IDataObject> MakeDropList(const std::vector<std::wstring>& paths);
// The same object handing out these bytes as its CF_HDROP memory, well formed or not (an empty
// memory block, a list without its end, a header pointing elsewhere).
Microsoft::WRL::ComPtr<IDataObject> MakeDropListFromBytes(std::string bytes);

// What the Windows 11 file manager hands its commands for the same selection: the items of the
// paths, in order. Null when one of them cannot be named.
Microsoft::WRL::ComPtr<IShellItemArray> MakeItemArray(const std::vector<std::wstring>& paths);

// The site the Windows 11 file manager gives its command: the window it answers through IOleWindow
// (none: it does not answer), and the folder its view shows (through IServiceProvider,
// SID_SFolderView and IFolderView::GetFolder; none: no view).
Microsoft::WRL::ComPtr<IUnknown> MakeCommandSite(HWND window, const wchar_t* folder);

// A context menu handler's Initialize as the file manager calls it: with the drop list of the
// paths, and with the id list of folder when one is given (a folder's background). E_NOINTERFACE
// when the object is not such a handler.
HRESULT InitializeHandler(IUnknown* handler, const std::vector<std::wstring>& paths, const wchar_t* folder = nullptr);
