#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <shlobj.h>
#include <wrl/client.h>

#include "OrbethExtensions_h.h"
#include "tests/support/DllUnderTest.h"

using Microsoft::WRL::ComPtr;

namespace {

const CLSID* const CreatableClasses[] = {&CLSID_OrbethOkIconOverlay, &CLSID_OrbethPendingIconOverlay,
                                         &CLSID_OrbethErrorIconOverlay, &CLSID_OrbethIconOverlayBHO,
                                         &CLSID_OrbethContextMenuHandler};

class ComServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dll.Loaded()); }

    ComPtr<IClassFactory> Factory(REFCLSID clsid)
    {
        ComPtr<IClassFactory> factory;
        EXPECT_EQ(dll.GetClassObject(clsid, IID_IClassFactory, &factory), S_OK);
        return factory;
    }

    CDllUnderTest dll;
};

TEST_F(ComServerTest, CanUnloadOnlyWhileNothingIsHeld)
{
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
    {
        ComPtr<IClassFactory> factory = Factory(CLSID_OrbethOkIconOverlay);
        EXPECT_EQ(dll.CanUnloadNow(), S_FALSE) << "a held factory";
        ComPtr<IShellIconOverlayIdentifier> overlay;
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IShellIconOverlayIdentifier, &overlay), S_OK);
        factory.Reset();
        EXPECT_EQ(dll.CanUnloadNow(), S_FALSE) << "a live object";
        ComPtr<IObjectWithSite> bho;
        ASSERT_EQ(Factory(CLSID_OrbethIconOverlayBHO)->CreateInstance(nullptr, IID_IObjectWithSite, &bho), S_OK);
        overlay.Reset();
        EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);
    }
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

TEST_F(ComServerTest, OneFactoryPerClassCountingAsOneLock)
{
    ComPtr<IClassFactory> first = Factory(CLSID_OrbethPendingIconOverlay);
    ComPtr<IClassFactory> second = Factory(CLSID_OrbethPendingIconOverlay);
    EXPECT_EQ(first.Get(), second.Get());
    EXPECT_NE(first.Get(), Factory(CLSID_OrbethOkIconOverlay).Get());
    second.Reset();

    IClassFactory* raw = first.Detach();
    raw->AddRef();
    raw->AddRef();
    raw->Release();
    raw->Release();
    EXPECT_EQ(dll.CanUnloadNow(), S_FALSE) << "one reference is still held";
    raw->Release();
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);

    ComPtr<IClassFactory> again = Factory(CLSID_OrbethPendingIconOverlay);
    EXPECT_EQ(again.Get(), raw) << "the table kept the factory";
}

TEST_F(ComServerTest, LockServerCountsEveryCall)
{
    ComPtr<IClassFactory> factory = Factory(CLSID_OrbethErrorIconOverlay);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.Reset();
    EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);
    Factory(CLSID_OrbethErrorIconOverlay)->LockServer(FALSE);
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

TEST_F(ComServerTest, UnknownClassesAndInterfacesAreRefused)
{
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(dll.GetClassObject(GUID_NULL, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(dll.GetClassObject(CLSID_OrbethOkIconOverlay, IID_IClassFactory, nullptr), E_POINTER);

    object = reinterpret_cast<void*>(1);
    EXPECT_EQ(dll.GetClassObject(CLSID_OrbethOkIconOverlay, IID_IDispatch, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(dll.CanUnloadNow(), S_OK) << "the factory stays cached without locking the module";

    ComPtr<IClassFactory> factory = Factory(CLSID_OrbethOkIconOverlay);
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(factory->QueryInterface(IID_IUnknown, &unknown), S_OK);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(ComServerTest, AggregationIsRefusedForEveryClass)
{
    ComPtr<IUnknown> outer;
    ASSERT_EQ(Factory(CLSID_OrbethOkIconOverlay)->CreateInstance(nullptr, IID_IUnknown, &outer), S_OK);
    for (const CLSID* clsid : CreatableClasses) {
        ComPtr<IClassFactory> factory = Factory(*clsid);
        for (const IID* iid : {&IID_IUnknown, &IID_IDispatch, &IID_IShellIconOverlayIdentifier}) {
            void* object = reinterpret_cast<void*>(1);
            EXPECT_EQ(factory->CreateInstance(outer.Get(), *iid, &object), CLASS_E_NOAGGREGATION);
            EXPECT_EQ(object, nullptr);
        }
    }
    outer.Reset();
    EXPECT_EQ(dll.CanUnloadNow(), S_OK) << "no object or lock is left behind";
}

TEST_F(ComServerTest, OverlayIdentityAndInfo)
{
    wchar_t modulePath[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(dll.Module(), modulePath, MAX_PATH), 0u);
    const struct {
        const CLSID* clsid;
        const IID* dual;
        int index;
    } overlays[] = {{&CLSID_OrbethErrorIconOverlay, &IID_IOrbethErrorIconOverlay, 0},
                    {&CLSID_OrbethPendingIconOverlay, &IID_IOrbethPendingIconOverlay, 1},
                    {&CLSID_OrbethOkIconOverlay, &IID_IOrbethOkIconOverlay, 2}};
    for (const auto& o : overlays) {
        ComPtr<IUnknown> unknown;
        ASSERT_EQ(Factory(*o.clsid)->CreateInstance(nullptr, IID_IUnknown, &unknown), S_OK);
        ComPtr<IUnknown> dual, dispatch;
        ComPtr<IShellIconOverlayIdentifier> identifier;
        ASSERT_EQ(unknown->QueryInterface(*o.dual, &dual), S_OK);
        ASSERT_EQ(unknown->QueryInterface(IID_IDispatch, &dispatch), S_OK);
        ASSERT_EQ(unknown->QueryInterface(IID_IShellIconOverlayIdentifier, &identifier), S_OK);
        EXPECT_EQ(unknown.Get(), dual.Get());
        EXPECT_EQ(unknown.Get(), dispatch.Get());
        EXPECT_NE(static_cast<void*>(unknown.Get()), static_cast<void*>(identifier.Get()));
        ComPtr<IUnknown> back;
        ASSERT_EQ(identifier->QueryInterface(IID_IUnknown, &back), S_OK);
        EXPECT_EQ(back.Get(), unknown.Get()) << "one identity";
        ComPtr<IUnknown> none;
        EXPECT_EQ(unknown->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);

        wchar_t iconFile[MAX_PATH] = {};
        int index = -1;
        DWORD flags = 0;
        ASSERT_EQ(identifier->GetOverlayInfo(iconFile, MAX_PATH, &index, &flags), S_OK);
        EXPECT_STREQ(iconFile, modulePath);
        EXPECT_EQ(index, o.index);
        EXPECT_EQ(flags, DWORD(ISIOI_ICONFILE | ISIOI_ICONINDEX));
        int priority = -1;
        ASSERT_EQ(identifier->GetPriority(&priority), S_OK);
        EXPECT_EQ(priority, 0);
    }
}

// The type library is the DLL's resource but is not registered by the DLL: IDispatch answers the
// loader's error until something registers it.
TEST_F(ComServerTest, DispatchIsServedFromTheRegisteredTypeLibrary)
{
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(Factory(CLSID_OrbethOkIconOverlay)->CreateInstance(nullptr, IID_IDispatch, &dispatch), S_OK);
    UINT count = 0;
    EXPECT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(dispatch->GetTypeInfoCount(nullptr), E_POINTER);
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(dispatch->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
    EXPECT_EQ(dispatch->GetTypeInfo(0, 0, nullptr), E_POINTER);
    UnRegisterTypeLib(LIBID_OrbethExtensionsLib, 1, 0, 0x0409, SYS_WIN64);
    EXPECT_EQ(dispatch->GetTypeInfo(0, 0, &info), TYPE_E_LIBNOTREGISTERED);

    wchar_t modulePath[MAX_PATH];
    GetModuleFileNameW(dll.Module(), modulePath, MAX_PATH);
    ComPtr<ITypeLib> library;
    ASSERT_EQ(LoadTypeLibEx(modulePath, REGKIND_REGISTER, &library), S_OK);
    ASSERT_EQ(dispatch->GetTypeInfo(0, 0, &info), S_OK);
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
    EXPECT_TRUE(IsEqualGUID(attributes->guid, IID_IOrbethOkIconOverlay));
    EXPECT_TRUE(attributes->wTypeFlags & TYPEFLAG_FDUAL);
    EXPECT_EQ(attributes->cFuncs, 7) << "only what IDispatch brings: no members of its own";
    info->ReleaseTypeAttr(attributes);
    EXPECT_EQ(UnRegisterTypeLib(LIBID_OrbethExtensionsLib, 1, 0, 0x0409, SYS_WIN64), S_OK);
}

// The file manager picks overlay icons by position and size: every group must carry them all.
TEST_F(ComServerTest, ResourcesHoldEveryIconSizeAndTheMenuBitmap)
{
#pragma pack(push, 2)
    struct CGroupEntry {
        BYTE width, height, colours, reserved;
        WORD planes, bitCount;
        DWORD bytes;
        WORD id;
    };
    struct CGroupHeader {
        WORD reserved, type, count;
    };
#pragma pack(pop)
    for (const int group : {201, 202, 203}) {
        SCOPED_TRACE(group);
        HRSRC found = FindResourceW(dll.Module(), MAKEINTRESOURCEW(group), MAKEINTRESOURCEW(14)); // RT_GROUP_ICON
        ASSERT_NE(found, nullptr);
        const auto* header = static_cast<const CGroupHeader*>(LockResource(LoadResource(dll.Module(), found)));
        ASSERT_EQ(header->count, 6);
        const auto* entries = reinterpret_cast<const CGroupEntry*>(header + 1);
        std::vector<int> sizes;
        for (int i = 0; i < header->count; ++i) {
            sizes.push_back(entries[i].width == 0 ? 256 : entries[i].width);
            EXPECT_EQ(entries[i].bitCount, 32);
            HRSRC image = FindResourceW(dll.Module(), MAKEINTRESOURCEW(entries[i].id), MAKEINTRESOURCEW(3)); // RT_ICON
            ASSERT_NE(image, nullptr);
            const auto* bytes = static_cast<const BYTE*>(LockResource(LoadResource(dll.Module(), image)));
            if (sizes.back() == 256)
                EXPECT_EQ(std::memcmp(bytes, "\x89PNG", 4), 0) << "the large image is a PNG";
            else
                EXPECT_EQ(reinterpret_cast<const BITMAPINFOHEADER*>(bytes)->biBitCount, 32);
        }
        std::sort(sizes.begin(), sizes.end());
        EXPECT_EQ(sizes, (std::vector<int>{16, 24, 32, 48, 64, 256}));
        HICON icon = static_cast<HICON>(LoadImageW(dll.Module(), MAKEINTRESOURCEW(group), IMAGE_ICON, 16, 16, 0));
        EXPECT_NE(icon, nullptr);
        DestroyIcon(icon);
    }
    HRSRC bitmap = FindResourceW(dll.Module(), MAKEINTRESOURCEW(301), MAKEINTRESOURCEW(2)); // RT_BITMAP
    ASSERT_NE(bitmap, nullptr);
    const auto* info = static_cast<const BITMAPINFOHEADER*>(LockResource(LoadResource(dll.Module(), bitmap)));
    EXPECT_EQ(info->biWidth, 16);
    EXPECT_EQ(std::abs(info->biHeight), 16);
    EXPECT_EQ(info->biBitCount, 24);
}

} // namespace
