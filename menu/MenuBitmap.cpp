#include "menu/MenuBitmap.h"

#include "base/GdiObject.h"

namespace {

// The colour of a pixel of a 24- or 32-bit DIB as 0x00RRGGBB; y counts from the top.
DWORD PixelAt(const DIBSECTION& dib, LONG x, LONG y)
{
    const LONG row = dib.dsBmih.biHeight > 0 ? dib.dsBm.bmHeight - 1 - y : y; // bottom-up when positive
    const BYTE* p = static_cast<const BYTE*>(dib.dsBm.bmBits) + size_t(row) * size_t(dib.dsBm.bmWidthBytes) +
                    size_t(x) * (dib.dsBm.bmBitsPixel / 8);
    return DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16;
}

} // namespace

HBITMAP MakeMenuBitmap(HBITMAP source, int colorIndex)
{
    // The pixels are read and written in memory: a GetPixel and a SetPixel per pixel, or a
    // bitmap in the screen's format, cost more than the menu's database work under Wine.
    DIBSECTION dib{};
    if (!source || GetObjectW(source, sizeof(dib), &dib) != sizeof(dib) || !dib.dsBm.bmBits ||
        dib.dsBmih.biCompression != BI_RGB || (dib.dsBm.bmBitsPixel != 24 && dib.dsBm.bmBitsPixel != 32))
        return nullptr;
    const LONG width = dib.dsBm.bmWidth, height = dib.dsBm.bmHeight;

    // An opaque 24-bit top-down copy, whatever the screen's depth: the menu draws it as it is.
    void* bits = nullptr;
    CBitmap copy = MakeTopDownDib(width, height, 24, &bits);
    if (!copy || !bits)
        return nullptr;

    const DWORD key = PixelAt(dib, 0, 0);
    const COLORREF colour = GetSysColor(colorIndex);
    const DWORD replacement = DWORD(GetRValue(colour)) << 16 | DWORD(GetGValue(colour)) << 8 | GetBValue(colour);
    const size_t stride = (size_t(width) * 3 + 3) & ~size_t(3);
    for (LONG y = 0; y < height; ++y) {
        BYTE* row = static_cast<BYTE*>(bits) + size_t(y) * stride;
        for (LONG x = 0; x < width; ++x) {
            const DWORD pixel = PixelAt(dib, x, y) == key ? replacement : PixelAt(dib, x, y);
            BYTE* bytes = row + size_t(x) * 3;
            bytes[0] = BYTE(pixel);
            bytes[1] = BYTE(pixel >> 8);
            bytes[2] = BYTE(pixel >> 16);
        }
    }
    return copy.Release();
}
