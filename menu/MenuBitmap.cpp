#include "menu/MenuBitmap.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "base/GdiObject.h"
#include "base/SystemFunction.h"

namespace {

// One image of an icon group, as the resource compiler stores it.
#pragma pack(push, 2)
struct CGroupEntry {
    BYTE width, height, colors, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

// The group's 32-bit images (PNG ones aside) by size; read from the resources themselves, since an
// icon handle's colour bitmap may lose its alpha on the way (a screen-depth bitmap under Wine).
struct CImage {
    int size = 0;
    const BYTE* pixels = nullptr; // bottom-up BGRA rows, straight alpha
};

CImage PickImage(HINSTANCE module, int iconResource, int size)
{
    const auto load = [module](const wchar_t* type, const wchar_t* name, DWORD* bytes) -> const BYTE* {
        const HRSRC found = FindResourceW(module, name, type);
        *bytes = found ? SizeofResource(module, found) : 0;
        const HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
        return static_cast<const BYTE*>(loaded ? LockResource(loaded) : nullptr);
    };
    DWORD bytes = 0;
    const BYTE* group = load(RT_GROUP_ICON, MAKEINTRESOURCEW(iconResource), &bytes);
    const WORD count = group && bytes >= 6 ? *reinterpret_cast<const WORD*>(group + 4) : 0;
    CImage best;
    for (WORD i = 0; i < count && 6 + (i + 1) * sizeof(CGroupEntry) <= bytes; ++i) {
        CGroupEntry entry;
        memcpy(&entry, group + 6 + i * sizeof(CGroupEntry), sizeof(entry));
        DWORD imageBytes = 0;
        const BYTE* image = load(RT_ICON, MAKEINTRESOURCEW(entry.id), &imageBytes);
        BITMAPINFOHEADER header{};
        if (!image || imageBytes < sizeof(header))
            continue;
        memcpy(&header, image, sizeof(header));
        const int side = header.biWidth;
        if (header.biSize != sizeof(header) || header.biBitCount != 32 || header.biCompression != BI_RGB || side <= 0 ||
            side > 256 || header.biHeight != 2 * side || imageBytes < sizeof(header) + size_t(side) * size_t(side) * 4)
            continue;
        // The image of that size, else the smallest larger one, else the largest.
        const bool better = best.size == 0 || (best.size < size ? side > best.size : side >= size && side < best.size);
        if (better)
            best = {side, image + sizeof(header)};
    }
    return best;
}

} // namespace

int MenuIconSize(UINT dpi)
{
    using CForDpi = int(WINAPI*)(int, UINT);
    static const auto forDpi = SystemFunction<CForDpi>(L"user32.dll", "GetSystemMetricsForDpi");
    // Without it (before Windows 10 1607) the system's metric is for the system's DPI.
    const int size =
        forDpi ? forDpi(SM_CXSMICON, dpi) : MulDiv(GetSystemMetrics(SM_CXSMICON), int(dpi), int(MenuDpi()));
    return std::clamp(size, 16, 256);
}

UINT MenuDpi()
{
    using CSystemDpi = UINT(WINAPI*)();
    static const auto systemDpi = SystemFunction<CSystemDpi>(L"user32.dll", "GetDpiForSystem");
    if (systemDpi)
        return systemDpi();
    const CUniqueHandle<HDC, &DeleteDC> screen(CreateCompatibleDC(nullptr));
    return screen ? UINT(GetDeviceCaps(screen.Get(), LOGPIXELSY)) : 96;
}

HBITMAP MakeMenuBitmap(HINSTANCE module, int iconResource, int size, bool greyed)
{
    const CImage image = size > 0 && size <= 256 ? PickImage(module, iconResource, size) : CImage();
    void* bits = nullptr;
    CBitmap bitmap = image.size ? MakeTopDownDib(size, size, 32, &bits) : CBitmap();
    auto* pixels = static_cast<uint32_t*>(bits);
    if (!pixels)
        return nullptr;
    // Each pixel the average of a grid of samples over the part of the image it covers,
    // premultiplied first so that clear pixels lend no colour to the edge.
    const int grid = image.size == size ? 1 : 4;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            uint32_t sum[4] = {};
            for (int sy = 0; sy < grid; ++sy) {
                for (int sx = 0; sx < grid; ++sx) {
                    const int u = (x * grid + sx) * image.size / (size * grid);
                    const int v = (y * grid + sy) * image.size / (size * grid);
                    const BYTE* p = image.pixels + (size_t(image.size - 1 - v) * size_t(image.size) + size_t(u)) * 4;
                    for (int c = 0; c < 3; ++c)
                        sum[c] += p[c] * p[3] / 255;
                    sum[3] += p[3];
                }
            }
            const uint32_t samples = uint32_t(grid * grid);
            uint32_t blue = sum[0] / samples, green = sum[1] / samples, red = sum[2] / samples,
                     alpha = sum[3] / samples;
            if (greyed) {
                // No colour, half as opaque; still premultiplied.
                blue = green = red = (red * 299 + green * 587 + blue * 114) / 1000 / 2;
                alpha /= 2;
            }
            pixels[size_t(y) * size_t(size) + size_t(x)] = alpha << 24 | red << 16 | green << 8 | blue;
        }
    }
    return bitmap.Release();
}
