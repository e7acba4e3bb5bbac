#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>
#include <tuple>
#include <vector>

#include <shlobj.h>
#include <shellapi.h> // after the headers that define what it needs
#include <wrl/client.h>

#include "OrbethExtensions_h.h"
#include "base/UniqueHandle.h"
#include "tools/LoadedExtension.h"

using Microsoft::WRL::ComPtr;

namespace {

const CLSID* const CreatableClasses[] = {&CLSID_OrbethOkIconOverlay, &CLSID_OrbethPendingIconOverlay, &CLSID_OrbethErrorIconOverlay,
                                         &CLSID_OrbethIconOverlayBHO, &CLSID_OrbethContextMenuHandler};

class ComServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dll.Loaded()); }

    ComPtr<IClassFactory> Factory(REFCLSID clsid)
    {
        ComPtr<IClassFactory> factory;
        EXPECT_EQ(dll.GetClassObject(clsid, IID_IClassFactory, &factory), S_OK);
        return factory;
    }

    CLoadedExtension dll;
};

// Unknown classes and interfaces and aggregation are refused, leaving nothing behind. A held factory
// (however many references), a live object and a server lock each keep the module; the table keeps
// each class's one factory. Each step, then whether the module may unload.
TEST_F(ComServerTest, RefusalsLeaveNothingAndFactoriesObjectsAndServerLocksKeepTheModule)
{
    const CLSID& ok = CLSID_OrbethOkIconOverlay;
    void* object = &object;
    EXPECT_EQ(dll.GetClassObject(GUID_NULL, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(dll.GetClassObject(ok, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(dll.GetClassObject(ok, IID_IDispatch, &object), E_NOINTERFACE);
    EXPECT_EQ(Factory(ok)->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
    ComPtr<IUnknown> outer, instance;
    ASSERT_EQ(Factory(ok)->CreateInstance(nullptr, IID_IUnknown, &outer), S_OK);
    for (const CLSID* clsid : CreatableClasses) { // aggregation, even for IUnknown, which the factory leaves to the class
        void *aggregated = &object, *unknown = &object;
        EXPECT_EQ(Factory(*clsid)->CreateInstance(outer.Get(), IID_IUnknown, &aggregated), CLASS_E_NOAGGREGATION);
        EXPECT_EQ(Factory(*clsid)->CreateInstance(nullptr, IID_IClassFactory, &unknown), E_NOINTERFACE);
        EXPECT_TRUE(!aggregated && !unknown);
    }
    ComPtr<IClassFactory> factory;
    IClassFactory* kept = nullptr;
    const std::pair<std::function<void()>, HRESULT> steps[] = {
        {[&] { outer.Reset(); }, S_OK},
        {[&] { factory = Factory(ok), kept = factory.Get(), factory->AddRef(), factory->AddRef(), factory->Release(), factory->Release(); }, S_FALSE},
        {[&] { EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &instance), S_OK); factory.Reset(); }, S_FALSE},
        {[&] { instance.Reset(); }, S_OK},
        {[&] { EXPECT_EQ(Factory(ok).Get(), kept); for (const BOOL lock : {TRUE, TRUE, FALSE}) Factory(ok)->LockServer(lock); }, S_FALSE},
        {[&] { Factory(ok)->LockServer(FALSE); }, S_OK}};
    for (size_t i = 0; i < std::size(steps); ++i) {
        steps[i].first();
        EXPECT_EQ(dll.CanUnloadNow(), steps[i].second) << "step " << i;
    }
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
                seen.push_back(dll.GetClassObject(*clsid, IID_IClassFactory, &factory) == S_OK &&
                               factory->CreateInstance(nullptr, IID_IUnknown, &object) == S_OK ? factory.Get() : nullptr);
            }
        });
    }
    SetEvent(start.Get());
    for (std::thread& thread : threads)
        thread.join();
    for (const std::vector<void*>& seen : factories)
        EXPECT_TRUE(seen == factories[0] && std::count(seen.begin(), seen.end(), nullptr) == 0);
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

// Each overlay is one object through its interfaces and names an icon of this very file. IDispatch answers the
// loader's error until something registers the type library, then each dual interface's own type information.
TEST_F(ComServerTest, OverlaysHaveOneIdentityTheirIconAndTheirTypeInformation)
{
    wchar_t module[MAX_PATH], iconFile[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(dll.Module(), module, MAX_PATH), 0u);
    UnRegisterTypeLib(LIBID_OrbethExtensionsLib, 1, 0, 0x0409, SYS_WIN64);
    ComPtr<ITypeLib> library; // registered once the first overlay was refused
    ULONG held = 0;
    const std::tuple<const CLSID*, const IID*, int> overlays[] = {{&CLSID_OrbethErrorIconOverlay, &IID_IOrbethErrorIconOverlay, 0},
                                                                  {&CLSID_OrbethPendingIconOverlay, &IID_IOrbethPendingIconOverlay, 1},
                                                                  {&CLSID_OrbethOkIconOverlay, &IID_IOrbethOkIconOverlay, 2}};
    for (const auto& [clsid, dual, iconIndex] : overlays) {
        ComPtr<IUnknown> unknown, asDual;
        ComPtr<IDispatch> dispatch;
        ComPtr<IShellIconOverlayIdentifier> identifier;
        ASSERT_EQ(Factory(*clsid)->CreateInstance(nullptr, IID_IUnknown, &unknown), S_OK);
        ASSERT_TRUE(unknown->QueryInterface(*dual, &asDual) == S_OK && unknown.As(&dispatch) == S_OK &&
                    unknown->QueryInterface(IID_IShellIconOverlayIdentifier, &identifier) == S_OK);
        EXPECT_TRUE(unknown.Get() == asDual.Get() && unknown.Get() == dispatch.Get());
        int index = -1, priority = -1;
        DWORD flags = 0;
        HICON icon = nullptr; // loaded as the file manager loads it: by its position in the file
        ASSERT_TRUE(identifier->GetOverlayInfo(iconFile, MAX_PATH, &index, &flags) == S_OK && identifier->GetPriority(&priority) == S_OK);
        EXPECT_STREQ(iconFile, module);
        EXPECT_TRUE(index == iconIndex && flags == (ISIOI_ICONFILE | ISIOI_ICONINDEX) && priority == 0) << index << " " << flags << " " << priority;
        EXPECT_EQ(ExtractIconExW(iconFile, index, &icon, nullptr, 1), 1u);
        DestroyIcon(icon);

        UINT count = 0;
        ComPtr<ITypeInfo> info, again, its; // the library hands out one object per type
        EXPECT_TRUE(dispatch->GetTypeInfoCount(&count) == S_OK && count == 1);
        EXPECT_EQ(dispatch->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
        if (!library) {
            EXPECT_EQ(dispatch->GetTypeInfo(0, 0, &info), TYPE_E_LIBNOTREGISTERED);
            ASSERT_EQ(LoadTypeLibEx(module, REGKIND_REGISTER, &library), S_OK);
            held = (library->AddRef(), library->Release());
        }
        ASSERT_TRUE(dispatch->GetTypeInfo(0, 0, &info) == S_OK && dispatch->GetTypeInfo(0, 0, &again) == S_OK &&
                    library->GetTypeInfoOfGuid(*dual, &its) == S_OK);
        EXPECT_TRUE(info.Get() == its.Get() && again.Get() == its.Get()) << "its own, and asked again, the kept one";
    }
    dll.Unload();
    EXPECT_EQ((library->AddRef(), library->Release()), held) << "the module let go of the library and its types";
    EXPECT_EQ(UnRegisterTypeLib(LIBID_OrbethExtensionsLib, 1, 0, 0x0409, SYS_WIN64), S_OK);
}

} // namespace
