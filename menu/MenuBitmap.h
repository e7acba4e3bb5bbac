#pragma once

#include <windows.h>

// The size in pixels of the small icons a menu draws at this DPI: GetSystemMetricsForDpi where the
// system has it, else the system's own metric scaled from the system's DPI.
int MenuIconSize(UINT dpi);
// The DPI menus are drawn at now: the system's (GetDpiForSystem where it exists, else the screen's).
UINT MenuDpi();

// The icon resource's image of size x size (or the nearest larger one, scaled down) as a 32-bit
// top-down DIB section with premultiplied alpha, which a menu blends onto its background, light or
// dark. Greyed: without colour and half as opaque, for a disabled entry. Null when the icon has no
// 32-bit image or the bitmap cannot be made. The caller owns the bitmap.
HBITMAP MakeMenuBitmap(HINSTANCE module, int iconResource, int size, bool greyed);
