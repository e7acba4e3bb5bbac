#include "tools/demo/DemoPicture.h"

#include <commctrl.h>
#include <commoncontrols.h>
#include <shellapi.h>
#include <shlobj.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>

#include "base/GdiObject.h"
#include "base/UniqueHandle.h"

using Microsoft::WRL::ComPtr;

namespace {

bool Fail(std::string* error, const std::string& message)
{
    *error = message;
    return false;
}

using CImageList = CUniqueHandle<HIMAGELIST, &ImageList_Destroy>;
using CIcon = CUniqueHandle<HICON, &DestroyIcon>;
using CWindow = CUniqueHandle<HWND, &DestroyWindow>;
using CMemoryDc = CUniqueHandle<HDC, &DeleteDC>;
using CFont = CUniqueHandle<HFONT, &DeleteObject>;

// An object selected into a device context until this goes.
class CSelection {
public:
    CSelection(HDC dc, HGDIOBJ object) : m_dc(dc), m_old(SelectObject(dc, object)) {}
    ~CSelection() { SelectObject(m_dc, m_old); }
    CSelection(const CSelection&) = delete;
    CSelection& operator=(const CSelection&) = delete;

private:
    HDC m_dc;
    HGDIOBJ m_old;
};

// The picture's layout, in pixels of the window's client area.
const int LargeIcon = 48, SmallIcon = 16;
const int PictureWidth = 900, PictureHeight = 660;
const RECT LargeView = {16, 64, 884, 266};
const RECT SmallView = {16, 306, 436, 644};
const POINT MenuAt = {460, 306}, DarkMenuAt = {460, 496};

// What the window paints besides its list views.
struct CPictureState {
    HMENU menu;
    std::wstring menuEntry;
    CFont textFont;
    CFont titleFont;
    CFont menuFont;
    HIMAGELIST largeIcons;
    HIMAGELIST smallIcons;
    int overlayImages; // the first overlay's image in both lists, after the items' icons
};

// A menu item's text as the user reads it, without the accelerator mark.
std::wstring Plain(const wchar_t* text)
{
    std::wstring plain;
    for (const wchar_t* c = text; *c; ++c) {
        if (*c != L'&')
            plain += *c;
    }
    return plain;
}

// The colours a menu is drawn in: the system's, with its raised 3D edges, or a dark menu theme's,
// which has flat lines of its own colour instead.
struct CMenuColours {
    COLORREF background, text, greyed, hot, hotText;
    bool raised;
    COLORREF line;
};

CMenuColours SystemMenuColours()
{
    return {GetSysColor(COLOR_MENU),
            GetSysColor(COLOR_MENUTEXT),
            GetSysColor(COLOR_GRAYTEXT),
            GetSysColor(COLOR_HIGHLIGHT),
            GetSysColor(COLOR_HIGHLIGHTTEXT),
            true,
            0};
}

const CMenuColours DarkMenuColours = {RGB(43, 43, 43), RGB(255, 255, 255), RGB(128, 128, 128),
                                      RGB(65, 65, 65), RGB(255, 255, 255), false,
                                      RGB(90, 90, 90)};

void Fill(HDC dc, const RECT& area, COLORREF colour)
{
    SetDCBrushColor(dc, colour);
    FillRect(dc, &area, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
}

// Draws a menu as its popup shows it, top-left at (x, y): the item named open highlighted and its
// submenu drawn beside it, as when the pointer rests on it. The items' bitmaps are the menu's own,
// a 32-bit one blended through its (premultiplied) alpha as a themed menu draws it.
void DrawMenu(HDC dc, HFONT font, HMENU menu, int x, int y, const std::wstring& open, const CMenuColours& colours)
{
    struct CRow {
        std::wstring text;
        HBITMAP bitmap;
        HMENU submenu;
        bool separator;
        bool greyed;
    };
    std::vector<CRow> rows;
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
        wchar_t text[128] = {};
        MENUITEMINFOW item{};
        item.cbSize = sizeof(item);
        item.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_BITMAP | MIIM_SUBMENU | MIIM_STRING;
        item.dwTypeData = text;
        item.cch = 128;
        if (!GetMenuItemInfoW(menu, UINT(i), TRUE, &item))
            continue;
        // The small values are the system's own pictures (HBMMENU_*), not bitmaps.
        const bool ownBitmap = UINT_PTR(item.hbmpItem) > UINT_PTR(HBMMENU_POPUP_MINIMIZE);
        rows.push_back({Plain(text), ownBitmap ? item.hbmpItem : nullptr, item.hSubMenu,
                        (item.fType & MFT_SEPARATOR) != 0, (item.fState & MFS_GRAYED) != 0});
    }
    const CSelection selectedFont(dc, font);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    const int rowHeight = std::max(int(metrics.tmHeight) + 8, 22), separatorHeight = 9, iconColumn = 28,
              arrowColumn = 24;
    int textWidth = 0, height = 6;
    for (const CRow& row : rows) {
        SIZE size{};
        GetTextExtentPoint32W(dc, row.text.c_str(), int(row.text.size()), &size);
        textWidth = std::max(textWidth, int(size.cx));
        height += row.separator ? separatorHeight : rowHeight;
    }
    const int width = 6 + iconColumn + textWidth + arrowColumn;
    RECT box{x, y, x + width, y + height};
    Fill(dc, box, colours.background);
    if (colours.raised) {
        DrawEdge(dc, &box, EDGE_RAISED, BF_RECT);
    } else {
        SetDCBrushColor(dc, colours.line);
        FrameRect(dc, &box, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
    }
    SetBkMode(dc, TRANSPARENT);

    HMENU openSubmenu = nullptr;
    int openTop = 0, top = y + 3;
    for (const CRow& row : rows) {
        if (row.separator) {
            RECT line{x + 3, top + separatorHeight / 2, x + width - 3, top + separatorHeight / 2 + 2};
            if (colours.raised)
                DrawEdge(dc, &line, EDGE_ETCHED, BF_TOP);
            else
                Fill(dc, {line.left, line.top, line.right, line.top + 1}, colours.line);
            top += separatorHeight;
            continue;
        }
        RECT area{x + 3, top, x + width - 3, top + rowHeight};
        const bool hot = row.submenu && row.text == open;
        if (hot) {
            Fill(dc, area, colours.hot);
            openSubmenu = row.submenu;
            openTop = top - 3;
        }
        if (row.bitmap) {
            BITMAP bitmap{};
            CMemoryDc source(CreateCompatibleDC(dc));
            if (source && GetObjectW(row.bitmap, sizeof(bitmap), &bitmap)) {
                const CSelection selectedBitmap(source.Get(), row.bitmap);
                const int left = x + 3 + (iconColumn - bitmap.bmWidth) / 2,
                          bitmapTop = top + (rowHeight - bitmap.bmHeight) / 2;
                const BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
                if (bitmap.bmBitsPixel == 32)
                    AlphaBlend(dc, left, bitmapTop, bitmap.bmWidth, bitmap.bmHeight, source.Get(), 0, 0, bitmap.bmWidth,
                               bitmap.bmHeight, blend);
                else
                    BitBlt(dc, left, bitmapTop, bitmap.bmWidth, bitmap.bmHeight, source.Get(), 0, 0, SRCCOPY);
            }
        }
        const COLORREF colour = row.greyed ? colours.greyed : hot ? colours.hotText : colours.text;
        SetTextColor(dc, colour);
        RECT text{x + 3 + iconColumn, top, x + width - 3 - arrowColumn, top + rowHeight};
        DrawTextW(dc, row.text.c_str(), -1, &text, DT_SINGLELINE | DT_VCENTER | DT_LEFT | DT_NOPREFIX);
        if (row.submenu) {
            const int tipX = x + width - 12, middle = top + rowHeight / 2;
            const POINT arrow[] = {{tipX - 4, middle - 4}, {tipX - 4, middle + 4}, {tipX, middle}};
            const CSelection selectedPen(dc, GetStockObject(DC_PEN));
            const CSelection selectedBrush(dc, GetStockObject(DC_BRUSH));
            SetDCPenColor(dc, colour);
            SetDCBrushColor(dc, colour);
            Polygon(dc, arrow, 3);
        }
        top += rowHeight;
    }
    if (openSubmenu)
        DrawMenu(dc, font, openSubmenu, x + width - 4, openTop, L"", colours);
}

void Label(HDC dc, HFONT font, int x, int y, const wchar_t* text)
{
    const CSelection selectedFont(dc, font);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    TextOutW(dc, x, y, text, int(wcslen(text)));
}

void Paint(const CPictureState& state, HDC dc)
{
    RECT all{0, 0, PictureWidth, PictureHeight};
    FillRect(dc, &all, GetSysColorBrush(COLOR_WINDOW));
    Label(dc, state.titleFont.Get(), 16, 10,
          L"The sample sync folder as the file manager shows it, with this module's overlays");
    Label(dc, state.textFont.Get(), 16, 40,
          L"Large icons (48 px): green check in sync, blue arrows waiting, orange cross failed");
    Label(dc, state.textFont.Get(), SmallView.left, SmallView.top - 24, L"Details (16 px icons)");
    const std::wstring menuLabel = L"Right-click on Notes.txt, the \"" + state.menuEntry + L"\" entry open: ";
    Label(dc, state.textFont.Get(), MenuAt.x, MenuAt.y - 24, (menuLabel + L"light menu").c_str());
    Label(dc, state.textFont.Get(), DarkMenuAt.x, DarkMenuAt.y - 24, (menuLabel + L"dark menu").c_str());
    for (RECT frame : {LargeView, SmallView}) {
        InflateRect(&frame, 1, 1);
        FrameRect(dc, &frame, GetSysColorBrush(COLOR_BTNSHADOW));
    }
    DrawMenu(dc, state.menuFont.Get(), state.menu, MenuAt.x, MenuAt.y, state.menuEntry, SystemMenuColours());
    DrawMenu(dc, state.menuFont.Get(), state.menu, DarkMenuAt.x, DarkMenuAt.y, state.menuEntry, DarkMenuColours);
}

// Under Wine, ImageList_Draw leaves out the overlay that INDEXTOOVERLAYMASK asks for when the image
// has an alpha channel, as the system's icons and the module's have; so the overlay's image goes
// over the item's icon once the control drew it, where the control put the icon.
LRESULT DrawOverlay(const CPictureState& state, const NMLVCUSTOMDRAW& draw)
{
    if (draw.nmcd.dwDrawStage == CDDS_PREPAINT)
        return CDRF_NOTIFYITEMDRAW;
    if (draw.nmcd.dwDrawStage == CDDS_ITEMPREPAINT)
        return CDRF_NOTIFYPOSTPAINT;
    if (draw.nmcd.dwDrawStage != CDDS_ITEMPOSTPAINT)
        return CDRF_DODEFAULT;
    HWND list = draw.nmcd.hdr.hwndFrom;
    const int item = int(draw.nmcd.dwItemSpec);
    const int overlay = int(ListView_GetItemState(list, item, LVIS_OVERLAYMASK) >> 8);
    const bool large = (GetWindowLongW(list, GWL_STYLE) & LVS_TYPEMASK) == LVS_ICON;
    HIMAGELIST images = large ? state.largeIcons : state.smallIcons;
    RECT icon{};
    int width = 0, height = 0;
    if (overlay && ImageList_GetIconSize(images, &width, &height) && ListView_GetItemRect(list, item, &icon, LVIR_ICON))
        ImageList_Draw(images, state.overlayImages + overlay - 1, draw.nmcd.hdc,
                       icon.left + (icon.right - icon.left - width) / 2,
                       icon.top + (icon.bottom - icon.top - height) / 2, ILD_TRANSPARENT);
    return CDRF_DODEFAULT;
}

LRESULT CALLBACK PictureProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE)
        SetWindowLongPtrW(window, GWLP_USERDATA, LONG_PTR(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
    const auto* state = reinterpret_cast<const CPictureState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        if (state)
            Paint(*state, dc);
        EndPaint(window, &paint);
        return 0;
    }
    if (message == WM_NOTIFY && state && reinterpret_cast<NMHDR*>(lParam)->code == NM_CUSTOMDRAW)
        return DrawOverlay(*state, *reinterpret_cast<NMLVCUSTOMDRAW*>(lParam));
    if (message == WM_PRINTCLIENT) {
        if (state)
            Paint(*state, reinterpret_cast<HDC>(wParam));
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// The system's icon of each item (from the shell's image list of that size, as the file manager
// takes it) and, after them, the overlays' icons, each made overlay number 1, 2, ...
bool MakeImageList(int size, int systemList, const std::vector<CPictureItem>& items,
                   const std::vector<COverlayIcon>& overlays, CImageList* list, std::string* error)
{
    ComPtr<IImageList> system;
    if (FAILED(SHGetImageList(systemList, IID_PPV_ARGS(&system))))
        return Fail(error, "the shell has no image list of " + std::to_string(size) + " px");
    list->Reset(ImageList_Create(size, size, ILC_COLOR32 | ILC_MASK, int(items.size() + overlays.size()), 0));
    if (!*list)
        return Fail(error, "ImageList_Create failed");
    for (const CPictureItem& item : items) {
        SHFILEINFOW info{};
        if (!SHGetFileInfoW(item.path.c_str(), 0, &info, sizeof(info), SHGFI_SYSICONINDEX))
            return Fail(error, "the shell has no icon for an item");
        const CIcon icon(ImageList_GetIcon(IImageListToHIMAGELIST(system.Get()), info.iIcon, ILD_NORMAL));
        if (!icon || ImageList_AddIcon(list->Get(), icon.Get()) < 0)
            return Fail(error, "an item's icon could not be copied");
    }
    for (size_t i = 0; i < overlays.size(); ++i) {
        // The shell's call makes a large and a small icon; both are asked for at this list's size.
        HICON icon = nullptr, pair = nullptr;
        const HRESULT extracted =
            SHDefExtractIconW(overlays[i].file.c_str(), overlays[i].index, 0, &icon, &pair, MAKELONG(size, size));
        const CIcon overlayIcon(icon), pairIcon(pair);
        const int image = extracted == S_OK && overlayIcon ? ImageList_AddIcon(list->Get(), overlayIcon.Get()) : -1;
        if (image < 0 || !ImageList_SetOverlayImage(list->Get(), image, int(i + 1)))
            return Fail(error,
                        "overlay icon " + std::to_string(overlays[i].index) + " of the module could not be loaded");
    }
    return true;
}

void AddListView(HWND parent, const RECT& where, DWORD view, HIMAGELIST images, const std::vector<CPictureItem>& items)
{
    // The image lists are shared: they belong to SaveSyncFolderPicture, which makes both views.
    HWND list =
        CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | WS_VISIBLE | LVS_SHAREIMAGELISTS | view, where.left, where.top,
                        where.right - where.left, where.bottom - where.top, parent, nullptr, nullptr, nullptr);
    if (!list)
        return;
    ListView_SetImageList(list, images, view == LVS_ICON ? LVSIL_NORMAL : LVSIL_SMALL);
    if (view == LVS_REPORT) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.cx = where.right - where.left - 4;
        column.pszText = const_cast<wchar_t*>(L"Name");
        ListView_InsertColumn(list, 0, &column);
    }
    for (size_t i = 0; i < items.size(); ++i) {
        LVITEMW row{};
        row.mask = LVIF_TEXT | LVIF_IMAGE;
        row.iItem = int(i);
        row.pszText = const_cast<wchar_t*>(items[i].name.c_str());
        row.iImage = int(i);
        ListView_SetItemState(list, ListView_InsertItem(list, &row), INDEXTOOVERLAYMASK(items[i].overlay),
                              LVIS_OVERLAYMASK);
    }
}

// Paints the window, then its children over it, into target at origin, as WM_PRINT's
// PRF_CHILDREN would: Wine's default handler leaves that flag out.
void PrintWithChildren(HWND window, HDC target, POINT origin)
{
    RECT client{};
    GetClientRect(window, &client);
    CMemoryDc dc(CreateCompatibleDC(target));
    CBitmap bitmap(CreateCompatibleBitmap(target, client.right, client.bottom));
    if (dc && bitmap) {
        const CSelection selectedBitmap(dc.Get(), bitmap.Get());
        SendMessageW(window, WM_PRINT, WPARAM(dc.Get()), PRF_CLIENT | PRF_ERASEBKGND);
        BitBlt(target, origin.x, origin.y, client.right, client.bottom, dc.Get(), 0, 0, SRCCOPY);
    }
    // The bottom of the z-order first, so that the top window ends up above.
    HWND child = GetWindow(window, GW_CHILD);
    for (child = child ? GetWindow(child, GW_HWNDLAST) : nullptr; child; child = GetWindow(child, GW_HWNDPREV)) {
        POINT at{0, 0};
        MapWindowPoints(child, window, &at, 1);
        if (IsWindowVisible(child))
            PrintWithChildren(child, target, {origin.x + at.x, origin.y + at.y});
    }
}

// Writes 32-bit top-down BGR pixels as a 24-bit PNG file through the system's imaging codecs.
bool SavePng(const std::wstring& path, const BYTE* pixels, UINT width, UINT height, std::string* error)
{
    const UINT stride = (width * 3 + 3) & ~3u;
    std::vector<BYTE> rows(size_t(stride) * height);
    for (UINT y = 0; y < height; ++y) {
        for (UINT x = 0; x < width; ++x)
            std::copy_n(pixels + (size_t(y) * width + x) * 4, 3, &rows[size_t(y) * stride + x * 3]);
    }
    ComPtr<IWICImagingFactory> factory;
    ComPtr<IWICStream> stream;
    ComPtr<IWICBitmapEncoder> encoder;
    ComPtr<IWICBitmapFrameEncode> frame;
    ComPtr<IPropertyBag2> options;
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    HRESULT result = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory));
    if (SUCCEEDED(result))
        result = factory->CreateStream(&stream);
    if (SUCCEEDED(result))
        result = stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE);
    if (SUCCEEDED(result))
        result = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder);
    if (SUCCEEDED(result))
        result = encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache);
    if (SUCCEEDED(result))
        result = encoder->CreateNewFrame(&frame, &options);
    if (SUCCEEDED(result))
        result = frame->Initialize(options.Get());
    if (SUCCEEDED(result))
        result = frame->SetSize(width, height);
    if (SUCCEEDED(result))
        result = frame->SetPixelFormat(&format);
    if (SUCCEEDED(result) && format != GUID_WICPixelFormat24bppBGR)
        result = WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
    if (SUCCEEDED(result))
        result = frame->WritePixels(height, stride, UINT(rows.size()), rows.data());
    if (SUCCEEDED(result))
        result = frame->Commit();
    if (SUCCEEDED(result))
        result = encoder->Commit();
    if (FAILED(result)) {
        char code[16];
        std::snprintf(code, sizeof(code), "0x%08lX", static_cast<unsigned long>(result));
        *error = std::string("the PNG could not be written (") + code + ")";
        return false;
    }
    return true;
}

} // namespace

bool SaveSyncFolderPicture(const std::vector<CPictureItem>& items, const std::vector<COverlayIcon>& overlays,
                           HMENU menu, const std::wstring& menuEntry, const std::wstring& pngPath, std::string* error)
{
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    CImageList largeIcons, smallIcons;
    if (!MakeImageList(LargeIcon, SHIL_EXTRALARGE, items, overlays, &largeIcons, error) ||
        !MakeImageList(SmallIcon, SHIL_SMALL, items, overlays, &smallIcons, error))
        return false;

    NONCLIENTMETRICSW fonts{};
    fonts.cbSize = sizeof(fonts);
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(fonts), &fonts, 0);
    CPictureState state{menu,
                        menuEntry,
                        CFont(CreateFontIndirectW(&fonts.lfMessageFont)),
                        CFont(nullptr),
                        CFont(CreateFontIndirectW(&fonts.lfMenuFont)),
                        largeIcons.Get(),
                        smallIcons.Get(),
                        int(items.size())};
    LOGFONTW title = fonts.lfMessageFont;
    title.lfWeight = FW_BOLD;
    state.titleFont.Reset(CreateFontIndirectW(&title));

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = PictureProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = L"OrbethDemoPicture";
    if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return Fail(error, "the picture's window class could not be registered");
    CWindow window(CreateWindowExW(0, windowClass.lpszClassName, L"Orbeth Sync", WS_POPUP | WS_VISIBLE, 0, 0,
                                   PictureWidth, PictureHeight, nullptr, nullptr, windowClass.hInstance, &state));
    if (!window)
        return Fail(error, "the picture's window could not be made (no display?)");
    AddListView(window.Get(), LargeView, LVS_ICON, largeIcons.Get(), items);
    AddListView(window.Get(), SmallView, LVS_REPORT, smallIcons.Get(), items);
    UpdateWindow(window.Get());
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&message);

    void* bits = nullptr;
    CBitmap canvas = MakeTopDownDib(PictureWidth, PictureHeight, 32, &bits);
    CMemoryDc dc(CreateCompatibleDC(nullptr));
    if (!canvas || !bits || !dc)
        return Fail(error, "no memory for the picture");
    {
        const CSelection selectedCanvas(dc.Get(), canvas.Get());
        PrintWithChildren(window.Get(), dc.Get(), {0, 0});
        GdiFlush();
    }
    return SavePng(pngPath, static_cast<const BYTE*>(bits), PictureWidth, PictureHeight, error);
}
