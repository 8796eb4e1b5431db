// TovikSrcBrdg.so as a module: its exports, its registration with tovik-regsvr in a temporary
// registry, its class-object answers and its unload answer while objects live.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>

#include "bridge/exports.h"
#include "bridge/source_bridge.h"
#include "platform/com/com.h"
#include "platform/com/registry.h"
#include "platform/media/registration/filter_mapper.h"
#include "tests/support/dv_media.h"
#include "tests/support/temp_registry.h"

namespace {

using platform::ComPtr;

const std::string kClassKey = "CLSID\\{8FD15CA6-7433-44D4-BC92-401B37C5E3DD}";
const std::string kFilterKey =
    "CLSID\\{083863F1-70DE-11D0-BD40-00A0C911CE86}\\Instance\\{8FD15CA6-7433-44D4-BC92-"
    "401B37C5E3DD}";

std::set<std::string> DefinedDynamicSymbols(const std::string& library) {
    const std::string command = "nm -D --defined-only '" + library + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::set<std::string> names;
    char line[512];
    while (pipe && std::fgets(line, sizeof line, pipe)) {
        std::istringstream in(line);
        std::string address, kind, name;
        if (in >> address >> kind >> name) names.insert(name.substr(0, name.find('@')));
    }
    EXPECT_EQ(pipe ? ::pclose(pipe) : -1, 0) << command;
    return names;
}

int RegSvr(const std::string& arguments) {
    return velmora::test::RunCommand(std::string(TOVIK_REGSVR_PATH) + " " + arguments +
                                     " >/dev/null 2>&1");
}

std::optional<std::string> Value(const std::string& key, const std::string& name) {
    return platform::ReadRegistryString(HKEY_CLASSES_ROOT, key, name);
}

std::vector<BYTE> FilterData() {
    HKEY key = nullptr;
    std::vector<BYTE> bytes;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, kFilterKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return bytes;
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, "FilterData", nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        bytes.resize(size);
        RegQueryValueExA(key, "FilterData", nullptr, &type, bytes.data(), &size);
    }
    RegCloseKey(key);
    return bytes;
}

TEST(BridgeModule, ExportsExactlyTheOrdinalTable) {
    std::set<std::string> expected;
    std::vector<int> ordinals;
    for (const auto& e : tovik::bridge::kExports) {
        expected.emplace(e.name);
        ordinals.push_back(e.ordinal);
    }
    EXPECT_EQ(ordinals, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(DefinedDynamicSymbols(BRIDGE_MODULE_PATH), expected);
}

class BridgeRegistration : public ::testing::Test {
  protected:
    void SetUp() override { CoInitialize(nullptr); }
    void TearDown() override { CoUninitialize(); }
    velmora::test::TempRegistry registry_;
};

TEST_F(BridgeRegistration, RegisterWritesTheClassAndTheFilterAndUnregisterTakesThemAway) {
    ASSERT_EQ(RegSvr(BRIDGE_MODULE_PATH), 0);
    EXPECT_EQ(Value(kClassKey, ""), "Tovik Source Bridge");
    auto server = Value(kClassKey + "\\InprocServer32", "");
    ASSERT_TRUE(server);
    EXPECT_TRUE(std::filesystem::equivalent(*server, BRIDGE_MODULE_PATH));
    EXPECT_EQ(Value(kClassKey + "\\InprocServer32", "ThreadingModel"), "Both");
    EXPECT_EQ(Value(kFilterKey, "FriendlyName"), "Tovik Source Bridge");
    EXPECT_EQ(Value(kFilterKey, "CLSID"), "{8FD15CA6-7433-44D4-BC92-401B37C5E3DD}");

    const std::vector<BYTE> bytes = FilterData();
    auto data = platform::media::DecodeFilterData(bytes.data(), bytes.size());
    ASSERT_TRUE(data);
    EXPECT_EQ(data->merit, 0x200000u);
    ASSERT_EQ(data->pins.size(), 1u);
    const auto& pin = data->pins[0];
    EXPECT_EQ(pin.name, u"Output");
    EXPECT_TRUE(pin.output);
    EXPECT_FALSE(pin.rendered || pin.zero || pin.many);
    EXPECT_EQ(pin.connectsToFilter, CLSID_NULL);
    EXPECT_TRUE(pin.connectsToPin.empty());
    ASSERT_EQ(pin.mediaTypes.size(), 1u);
    EXPECT_EQ(pin.mediaTypes[0], std::make_pair(MEDIATYPE_Video, GUID_NULL));

    ComPtr<ITovikSourceBridge> bridge;
    ASSERT_EQ(CoCreateInstance(CLSID_TovikSourceBridge, nullptr, CLSCTX_INPROC_SERVER,
                               IID_ITovikSourceBridge, bridge.PutVoid()),
              S_OK);
    ComPtr<IBaseFilter> filter = bridge.As<IBaseFilter>();
    ASSERT_TRUE(filter);
    ComPtr<IPin> out;
    EXPECT_EQ(filter->FindPin(u"Out", out.Put()), S_OK);
    bridge.Reset();
    filter.Reset();
    out.Reset();

    ASSERT_EQ(RegSvr(std::string("-u ") + BRIDGE_MODULE_PATH), 0);
    EXPECT_FALSE(std::filesystem::exists(registry_.Root() / "CLSID" /
                                         "{8FD15CA6-7433-44D4-BC92-401B37C5E3DD}"));
    EXPECT_FALSE(Value(kFilterKey, "FriendlyName"));
    EXPECT_EQ(CoCreateInstance(CLSID_TovikSourceBridge, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IBaseFilter, filter.PutVoid()),
              REGDB_E_CLASSNOTREG);
    // Unregistering again finds nothing to remove, which is not a failure.
    EXPECT_EQ(RegSvr(std::string("-u ") + BRIDGE_MODULE_PATH), 0);
}

// The module's entry points, called directly.
class BridgeEntryPoints : public ::testing::Test {
  protected:
    void SetUp() override {
        CoInitialize(nullptr);
        handle_ = ::dlopen(BRIDGE_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << ::dlerror();
        getClassObject_ =
            reinterpret_cast<decltype(getClassObject_)>(::dlsym(handle_, "DllGetClassObject"));
        canUnloadNow_ =
            reinterpret_cast<decltype(canUnloadNow_)>(::dlsym(handle_, "DllCanUnloadNow"));
        ASSERT_TRUE(getClassObject_ && canUnloadNow_);
    }
    void TearDown() override {
        if (handle_) ::dlclose(handle_);
        CoUninitialize();
    }
    void* handle_ = nullptr;
    HRESULT (*getClassObject_)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT (*canUnloadNow_)() = nullptr;
};

TEST_F(BridgeEntryPoints, ClassObjectResultCodes) {
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(getClassObject_(CLSID_TovikSourceBridge, IID_IBaseFilter, factory.PutVoid()),
              E_NOINTERFACE);
    EXPECT_EQ(getClassObject_(CLSID_NullRenderer, IID_IClassFactory, factory.PutVoid()),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(getClassObject_(CLSID_TovikSourceBridge, IID_IClassFactory, factory.PutVoid()), S_OK);
    ASSERT_TRUE(factory);
    ComPtr<IUnknown> outer, inner;
    ASSERT_EQ(CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               outer.PutVoid()),
              S_OK);
    // Aggregated, only the inner unknown may be asked for.
    EXPECT_EQ(factory->CreateInstance(outer.Get(), IID_IBaseFilter, inner.PutVoid()),
              E_NOINTERFACE);
    ComPtr<ITovikSourceBridge> bridge;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_ITovikSourceBridge, bridge.PutVoid()), S_OK);
    EXPECT_TRUE(bridge);
}

TEST_F(BridgeEntryPoints, CannotUnloadWhileAnObjectLivesOrALockIsHeld) {
    EXPECT_EQ(canUnloadNow_(), S_OK);
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(getClassObject_(CLSID_TovikSourceBridge, IID_IClassFactory, factory.PutVoid()), S_OK);
    ComPtr<IBaseFilter> filter;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IBaseFilter, filter.PutVoid()), S_OK);
    factory.Reset();
    EXPECT_EQ(canUnloadNow_(), S_FALSE);
    filter.Reset();
    EXPECT_EQ(canUnloadNow_(), S_OK);

    ASSERT_EQ(getClassObject_(CLSID_TovikSourceBridge, IID_IClassFactory, factory.PutVoid()), S_OK);
    factory->LockServer(TRUE);
    factory.Reset();
    EXPECT_EQ(canUnloadNow_(), S_FALSE);
    ASSERT_EQ(getClassObject_(CLSID_TovikSourceBridge, IID_IClassFactory, factory.PutVoid()), S_OK);
    factory->LockServer(FALSE);
    factory.Reset();
    EXPECT_EQ(canUnloadNow_(), S_OK);
}

}  // namespace
