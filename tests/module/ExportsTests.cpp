#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>

namespace {

// Loads the built DLL the way the file manager does and calls its exports by name.
class ExportsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(module, nullptr) << "LoadLibrary failed, error " << GetLastError(); }
    void TearDown() override
    {
        if (module)
            FreeLibrary(module);
    }

    template <typename Function> Function Export(const char* name)
    {
        return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    }

    HMODULE module = LoadLibraryW(L"OrbethExtensions.dll");
};

TEST_F(ExportsTest, EntryPointsAreExportedByName)
{
    for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer",
                             "DllInstall"})
        EXPECT_NE(GetProcAddress(module, name), nullptr) << name;
}

TEST_F(ExportsTest, NoClassIsAvailableYetAndTheModuleCanUnload)
{
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    using CanUnloadNow = HRESULT(STDAPICALLTYPE*)();
    auto getClassObject = Export<GetClassObject>("DllGetClassObject");
    auto canUnloadNow = Export<CanUnloadNow>("DllCanUnloadNow");
    ASSERT_TRUE(getClassObject && canUnloadNow);

    void* factory = reinterpret_cast<void*>(1);
    EXPECT_EQ(getClassObject(GUID_NULL, IID_IClassFactory, &factory), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(factory, nullptr);
    EXPECT_EQ(getClassObject(GUID_NULL, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(canUnloadNow(), S_OK);
}

} // namespace
