#pragma once

#include <windows.h>

#include <string>
#include <vector>

// An item of the sample sync folder as the picture shows it: its name, its full path (for the
// system's icon) and the overlay the file manager draws on it, 1 for the icon of the first
// registered identifier, 2 for the second and so on, 0 for none.
struct CPictureItem {
    std::wstring name;
    std::wstring path;
    DWORD attributes;
    int overlay;
};

// An overlay's icon as its identifier names it in GetOverlayInfo: a file and an icon index in it.
struct COverlayIcon {
    std::wstring file;
    int index;
};

// Shows the items as the file manager does, in a window on the display: list views in large
// (48 px) and small (16 px) icons with the system's icon of each item and the overlays on top,
// and the right-click menu (its entries and their bitmaps) beside them with the entry named
// menuEntry open, once in the system's light menu colours and once in a dark menu theme's.
// Saves that window as a PNG file. False with a message when a part fails.
bool SaveSyncFolderPicture(const std::vector<CPictureItem>& items, const std::vector<COverlayIcon>& overlays,
                           HMENU menu, const std::wstring& menuEntry, const std::wstring& pngPath, std::string* error);
