#pragma once

#include <windows.h>

// A copy of source (a 24- or 32-bit DIB section, as LoadImageW makes with LR_CREATEDIBSECTION)
// in which every pixel of the top-left pixel's colour takes the system colour
// colorIndex (GetSysColor), so that the picture's background blends with the menu. Null when the
// source is null or a copy cannot be made. The caller owns the new bitmap.
HBITMAP MakeMenuBitmap(HBITMAP source, int colorIndex);
