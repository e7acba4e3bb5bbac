#include "menu/MenuBitmap.h"

#include "menu/GdiObject.h"

HBITMAP MakeMenuBitmap(HBITMAP source, int colorIndex)
{
    // Declared before the contexts, which select it out again before it may be deleted.
    CGdiObject copy;
    CMemoryDC from, to;
    BITMAP description{};
    if (!from || !to || !source || !GetObjectW(source, sizeof(description), &description))
        return nullptr;
    // The copy takes the source's depth: a loaded bitmap comes back in the screen's format.
    copy.Reset(CreateBitmap(description.bmWidth, description.bmHeight, description.bmPlanes,
                            description.bmBitsPixel, nullptr));
    if (!copy || !from.Select(source) || !to.Select(copy.Bitmap()) ||
        !BitBlt(to.Get(), 0, 0, description.bmWidth, description.bmHeight, from.Get(), 0, 0, SRCCOPY))
        return nullptr;

    const COLORREF key = GetPixel(to.Get(), 0, 0);
    const COLORREF replacement = GetSysColor(colorIndex);
    for (int y = 0; y < description.bmHeight; ++y) {
        for (int x = 0; x < description.bmWidth; ++x) {
            if (GetPixel(to.Get(), x, y) == key)
                SetPixel(to.Get(), x, y, replacement);
        }
    }
    return static_cast<HBITMAP>(copy.Release());
}
