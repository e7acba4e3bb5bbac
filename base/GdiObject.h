#pragma once

#include <windows.h>

#include "base/UniqueHandle.h"

// A bitmap, and a menu that is not (yet) part of another menu.
using CBitmap = CUniqueHandle<HBITMAP, &DeleteObject>;
using CMenu = CUniqueHandle<HMENU, &DestroyMenu>;

// A top-down DIB section of the given size and depth (24 or 32 bits, uncompressed), with its
// pixels' address; empty (and pixels null) when it cannot be made.
inline CBitmap MakeTopDownDib(LONG width, LONG height, WORD bitsPerPixel, void** pixels)
{
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = bitsPerPixel;
    info.bmiHeader.biCompression = BI_RGB;
    *pixels = nullptr;
    return CBitmap(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, pixels, nullptr, 0));
}
