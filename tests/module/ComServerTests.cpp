#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <shlobj.h>
#include <wrl/client.h>

#include "OrbethExtensions_h.h"
#include "base/UniqueHandle.h"
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

// A held factory (however many references), a live object and a server lock each keep the module.
TEST_F(ComServerTest, FactoriesObjectsAndServerLocksKeepTheModule)
{
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
    ComPtr<IClassFactory> factory = Factory(CLSID_OrbethOkIconOverlay);
    EXPECT_EQ(factory.Get(), Factory(CLSID_OrbethOkIconOverlay).Get()) << "one factory per class";
    EXPECT_NE(factory.Get(), Factory(CLSID_OrbethPendingIconOverlay).Get());
    factory->AddRef(), factory->AddRef(), factory->Release(), factory->Release();
    EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);
    ComPtr<IUnknown> object;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &object), S_OK);
    IClassFactory* const kept = factory.Get();
    factory.Reset();
    EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);
    object.Reset();
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
    factory = Factory(CLSID_OrbethOkIconOverlay);
    EXPECT_EQ(factory.Get(), kept) << "the table kept the factory";
    EXPECT_TRUE(factory->LockServer(TRUE) == S_OK && factory->LockServer(TRUE) == S_OK && factory->LockServer(FALSE) == S_OK);
    factory.Reset();
    EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);
    Factory(CLSID_OrbethOkIconOverlay)->LockServer(FALSE);
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

// Each thread waits for the others, then asks for every class's factory and makes an object.
TEST_F(ComServerTest, ThreadsAskingAtOnceShareOneWorkingFactoryPerClass)
{
    CUniqueHandle<HANDLE, &CloseHandle> start(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<std::vector<void*>> factories(8); // per thread, per class; null when it failed
    std::vector<std::thread> threads;
    for (std::vector<void*>& seen : factories) {
        threads.emplace_back([&] {
            WaitForSingleObject(start.Get(), INFINITE);
            for (const CLSID* clsid : CreatableClasses) {
                ComPtr<IClassFactory> factory;
                ComPtr<IUnknown> object;
                const bool works = dll.GetClassObject(*clsid, IID_IClassFactory, &factory) == S_OK &&
                                   factory->CreateInstance(nullptr, IID_IUnknown, &object) == S_OK;
                seen.push_back(works ? factory.Get() : nullptr);
            }
        });
    }
    SetEvent(start.Get());
    for (std::thread& thread : threads)
        thread.join();
    for (const std::vector<void*>& seen : factories) {
        EXPECT_EQ(seen, factories[0]);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), nullptr), 0);
    }
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

TEST_F(ComServerTest, UnknownClassesInterfacesAndAggregationAreRefused)
{
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(dll.GetClassObject(GUID_NULL, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(dll.GetClassObject(CLSID_OrbethOkIconOverlay, IID_IClassFactory, nullptr), E_POINTER);
    object = reinterpret_cast<void*>(1);
    EXPECT_EQ(dll.GetClassObject(CLSID_OrbethOkIconOverlay, IID_IDispatch, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(Factory(CLSID_OrbethOkIconOverlay)->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
    ComPtr<IUnknown> outer;
    ASSERT_EQ(Factory(CLSID_OrbethOkIconOverlay)->CreateInstance(nullptr, IID_IUnknown, &outer), S_OK);
    for (const CLSID* clsid : CreatableClasses) {
        ComPtr<IClassFactory> factory = Factory(*clsid);
        for (const IID* iid : {&IID_IUnknown, &IID_IDispatch, &IID_IShellIconOverlayIdentifier, &IID_IClassFactory}) {
            object = reinterpret_cast<void*>(1);
            EXPECT_EQ(factory->CreateInstance(outer.Get(), *iid, &object), CLASS_E_NOAGGREGATION);
            EXPECT_EQ(object, nullptr);
        }
        object = reinterpret_cast<void*>(1);
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &object), E_NOINTERFACE);
        EXPECT_EQ(object, nullptr);
    }
    outer.Reset();
    EXPECT_EQ(dll.CanUnloadNow(), S_OK) << "nothing refused left an object or a lock behind";
}

TEST_F(ComServerTest, OverlaysHaveOneIdentityAndTheirIcon)
{
    wchar_t module[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(dll.Module(), module, MAX_PATH), 0u);
    const struct {
        const CLSID* clsid;
        const IID* dual;
        int index;
    } overlays[] = {{&CLSID_OrbethErrorIconOverlay, &IID_IOrbethErrorIconOverlay, 0},
                    {&CLSID_OrbethPendingIconOverlay, &IID_IOrbethPendingIconOverlay, 1},
                    {&CLSID_OrbethOkIconOverlay, &IID_IOrbethOkIconOverlay, 2}};
    for (const auto& o : overlays) {
        ComPtr<IUnknown> unknown, dual, dispatch, back, none;
        ComPtr<IShellIconOverlayIdentifier> identifier;
        ASSERT_EQ(Factory(*o.clsid)->CreateInstance(nullptr, IID_IUnknown, &unknown), S_OK);
        ASSERT_EQ(unknown->QueryInterface(*o.dual, &dual), S_OK);
        ASSERT_EQ(unknown->QueryInterface(IID_IDispatch, &dispatch), S_OK);
        ASSERT_EQ(unknown->QueryInterface(IID_IShellIconOverlayIdentifier, &identifier), S_OK);
        ASSERT_EQ(identifier->QueryInterface(IID_IUnknown, &back), S_OK);
        EXPECT_TRUE(unknown.Get() == dual.Get() && unknown.Get() == dispatch.Get() && unknown.Get() == back.Get());
        EXPECT_NE(static_cast<void*>(unknown.Get()), static_cast<void*>(identifier.Get()));
        EXPECT_EQ(unknown->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
        wchar_t iconFile[MAX_PATH] = {};
        int index = -1, priority = -1;
        DWORD flags = 0;
        ASSERT_EQ(identifier->GetOverlayInfo(iconFile, MAX_PATH, &index, &flags), S_OK);
        ASSERT_EQ(identifier->GetPriority(&priority), S_OK);
        EXPECT_STREQ(iconFile, module);
        EXPECT_EQ(index, o.index);
        EXPECT_EQ(flags, DWORD(ISIOI_ICONFILE | ISIOI_ICONINDEX));
        EXPECT_EQ(priority, 0);
    }
}

// The type library is the DLL's resource but is not registered by the DLL: IDispatch answers the
// loader's error until something registers it, then the type information loaded once.
TEST_F(ComServerTest, DispatchIsServedFromTheRegisteredTypeLibrary)
{
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(Factory(CLSID_OrbethOkIconOverlay)->CreateInstance(nullptr, IID_IDispatch, &dispatch), S_OK);
    UINT count = 0;
    EXPECT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ComPtr<ITypeInfo> info, again;
    EXPECT_EQ(dispatch->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
    EXPECT_EQ(dispatch->GetTypeInfo(0, 0, nullptr), E_POINTER);
    UnRegisterTypeLib(LIBID_OrbethExtensionsLib, 1, 0, 0x0409, SYS_WIN64);
    EXPECT_EQ(dispatch->GetTypeInfo(0, 0, &info), TYPE_E_LIBNOTREGISTERED);

    wchar_t module[MAX_PATH];
    GetModuleFileNameW(dll.Module(), module, MAX_PATH);
    ComPtr<ITypeLib> library;
    ASSERT_EQ(LoadTypeLibEx(module, REGKIND_REGISTER, &library), S_OK);
    ASSERT_EQ(dispatch->GetTypeInfo(0, 0, &info), S_OK);
    ASSERT_EQ(dispatch->GetTypeInfo(0, 0, &again), S_OK);
    EXPECT_TRUE(info && info.Get() == again.Get()) << "asked again, the kept one";
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
    EXPECT_TRUE(IsEqualGUID(attributes->guid, IID_IOrbethOkIconOverlay));
    EXPECT_TRUE(attributes->wTypeFlags & TYPEFLAG_FDUAL);
    EXPECT_EQ(attributes->cFuncs, 7) << "only what IDispatch brings: no members of its own";
    info->ReleaseTypeAttr(attributes);
    EXPECT_EQ(UnRegisterTypeLib(LIBID_OrbethExtensionsLib, 1, 0, 0x0409, SYS_WIN64), S_OK);
}

// The file manager picks overlay icons by position and size: every group carries every size in
// 32 bits (the largest as PNG); the menu's bitmap is 16 by 16.
TEST_F(ComServerTest, ResourcesHoldEveryIconSizeAndTheMenuBitmap)
{
    const auto data = [&](int id, int type) -> const BYTE* {
        HRSRC found = FindResourceW(dll.Module(), MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(type));
        return found ? static_cast<const BYTE*>(LockResource(LoadResource(dll.Module(), found))) : nullptr;
    };
    for (const int group : {201, 202, 203}) {
        const BYTE* directory = data(group, 14); // RT_GROUP_ICON: reserved, type, count, entries
        ASSERT_NE(directory, nullptr);
        EXPECT_EQ(reinterpret_cast<const WORD*>(directory)[2], 6);
        for (const int size : {16, 24, 32, 48, 64, 256}) {
            SCOPED_TRACE(testing::Message() << group << " " << size);
            const int id = LookupIconIdFromDirectoryEx(const_cast<BYTE*>(directory), TRUE, size, size, LR_DEFAULTCOLOR);
            const auto* image = reinterpret_cast<const BITMAPINFOHEADER*>(data(id, 3)); // RT_ICON
            ASSERT_NE(image, nullptr);
            EXPECT_TRUE(size == 256 ? std::memcmp(image, "\x89PNG", 4) == 0 : image->biWidth == size && image->biBitCount == 32);
        }
    }
    const auto* bitmap = reinterpret_cast<const BITMAPINFOHEADER*>(data(301, 2)); // RT_BITMAP
    ASSERT_NE(bitmap, nullptr);
    EXPECT_TRUE(bitmap->biWidth == 16 && std::abs(bitmap->biHeight) == 16 && bitmap->biBitCount == 24);
}

} // namespace
