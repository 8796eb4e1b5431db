#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/com/com.h"
#include "platform/com/registry.h"
#include "tests/platform/com/test_server.h"
#include "tests/support/temp_registry.h"

namespace {

struct Command {
    int exitCode;
    std::string output;
};

Command RunCommand(const std::string& command) {
    Command result{-1, {}};
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return result;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) result.output += buffer;
    int status = ::pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool ModuleLoaded(const char* path) {
    void* handle = ::dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (handle) ::dlclose(handle);
    return handle != nullptr;
}

class CreateInstance : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(CoInitialize(nullptr), S_OK); }
    void TearDown() override { CoUninitialize(); }

    velmora::test::TempRegistry registry_;
};

// {0F2B6A10-7D4C-4C1B-8E55-0A1B2C3D4E5F}
constexpr CLSID kBuiltin = {
    0x0F2B6A10, 0x7D4C, 0x4C1B, {0x8E, 0x55, 0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}};

HRESULT CreateBuiltin(IUnknown* outer, REFIID, void** object) {
    if (outer) return CLASS_E_NOAGGREGATION;
    *object = nullptr;
    return E_ABORT;  // recognisable: proves the built-in table was consulted
}

TEST(CoInitialize, CountsPerThreadAndIsNeededForCreation) {
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(kBuiltin, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    CoUninitialize();
    EXPECT_TRUE(platform::IsComInitialized());
    CoUninitialize();
    EXPECT_FALSE(platform::IsComInitialized());
}

TEST_F(CreateInstance, FindsBuiltinClassesBeforeTheRegistry) {
    platform::RegisterBuiltinClass(kBuiltin, CreateBuiltin);
    void* object = nullptr;
    EXPECT_EQ(CoCreateInstance(kBuiltin, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
              E_ABORT);
}

TEST_F(CreateInstance, RegisteredServerIsCreatedUntilUnregistered) {
    void* raw = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_TestServerObject, nullptr, CLSCTX_INPROC_SERVER,
                               IID_ITestValue, &raw),
              REGDB_E_CLASSNOTREG);

    Command reg = RunCommand(std::string(TOVIK_REGSVR_PATH) + " " + TEST_SERVER_PATH);
    ASSERT_EQ(reg.exitCode, 0) << reg.output;

    platform::ComPtr<ITestValue> object;
    ASSERT_EQ(CoCreateInstance(CLSID_TestServerObject, nullptr, CLSCTX_INPROC_SERVER,
                               IID_ITestValue, object.PutVoid()),
              S_OK);
    int value = 0;
    EXPECT_EQ(object->GetValue(&value), S_OK);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(object.As<IClassFactory>(), nullptr);

    // A module with live objects stays loaded; without them it may go.
    CoFreeUnusedLibraries();
    EXPECT_TRUE(ModuleLoaded(TEST_SERVER_PATH));
    object.Reset();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(ModuleLoaded(TEST_SERVER_PATH));

    Command unreg = RunCommand(std::string(TOVIK_REGSVR_PATH) + " -u " + TEST_SERVER_PATH);
    ASSERT_EQ(unreg.exitCode, 0) << unreg.output;
    EXPECT_EQ(CoCreateInstance(CLSID_TestServerObject, nullptr, CLSCTX_INPROC_SERVER,
                               IID_ITestValue, &raw),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(raw, nullptr);
}

TEST_F(CreateInstance, MissingModulesFailClearly) {
    Command reg = RunCommand(std::string(TOVIK_REGSVR_PATH) + " /nonexistent/module.so");
    EXPECT_NE(reg.exitCode, 0);
    EXPECT_NE(reg.output.find("/nonexistent/module.so"), std::string::npos) << reg.output;
    EXPECT_NE(reg.output.find("not found"), std::string::npos) << reg.output;

    // A program is not a module with entry points.
    Command notServer = RunCommand(std::string(TOVIK_REGSVR_PATH) + " /bin/true");
    EXPECT_NE(notServer.exitCode, 0);
    EXPECT_NE(notServer.output.find("/bin/true"), std::string::npos) << notServer.output;

    // A registration that names a module which has since gone.
    HKEY key = nullptr;
    std::string classKey = "CLSID\\" + platform::FormatGuid(CLSID_TestServerObject);
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, (classKey + "\\InprocServer32").c_str(), 0,
                              nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const char path[] = "/nonexistent/module.so";
    ASSERT_EQ(
        RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path), sizeof path),
        ERROR_SUCCESS);
    RegCloseKey(key);
    void* raw = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_TestServerObject, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_ITestValue, &raw);
    EXPECT_TRUE(FAILED(hr));
    EXPECT_NE(hr, REGDB_E_CLASSNOTREG);
    EXPECT_EQ(raw, nullptr);
}

// Writes a class's InprocServer32 default value file as it lies on disk.
void WriteServerValue(const velmora::test::TempRegistry& registry, REFCLSID clsid,
                      const std::string& text) {
    const auto key = registry.Root() / "CLSID" / platform::FormatGuid(clsid) / "InprocServer32";
    std::filesystem::create_directories(key);
    std::ofstream(key / "@", std::ios::binary) << text;
}

// What a registration or a module says is checked, never trusted: a module that answers
// success without a factory, and a registration whose value does not parse, fail the creation.
TEST_F(CreateInstance, BrokenRegistrationsAndModulesFailTheCreation) {
    WriteServerValue(registry_, CLSID_TestServerNullFactory,
                     std::string("REG_SZ\n") + TEST_SERVER_PATH);
    void* raw = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoGetClassObject(CLSID_TestServerNullFactory, CLSCTX_INPROC_SERVER, nullptr,
                               IID_IClassFactory, &raw),
              CO_E_ERRORINDLL);
    EXPECT_EQ(raw, nullptr);
    raw = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_TestServerNullFactory, nullptr, CLSCTX_INPROC_SERVER,
                               IID_ITestValue, &raw),
              CO_E_ERRORINDLL);
    EXPECT_EQ(raw, nullptr);

    for (const char* text : {"REG_BINARY 1\nnot hex at all", "REG_BINARY 7\nzz", "REG_DWORD\nlots",
                             "REG_SZ", "REG_BINARY x\n00"}) {
        WriteServerValue(registry_, CLSID_TestServerObject, text);
        raw = reinterpret_cast<void*>(1);
        EXPECT_EQ(CoCreateInstance(CLSID_TestServerObject, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_ITestValue, &raw),
                  REGDB_E_CLASSNOTREG)
            << text;
        EXPECT_EQ(raw, nullptr) << text;
    }
}

}  // namespace
