// The server-module helpers and the filter mapper: class-object answers, the module's own
// object and lock counts, class and filter registration in a temporary registry.

#include <gtest/gtest.h>

#include "platform/com/com.h"
#include "platform/com/registry.h"
#include "platform/media/registration/class_factory.h"
#include "tests/support/temp_registry.h"

namespace {

using platform::ComPtr;
using platform::media::DecodeFilterData;
using platform::media::ServerModule;

// {6C1A7E10-2B3D-4F5A-8E9C-0D1E2F3A4B01}, {..02}
constexpr CLSID CLSID_Widget = {
    0x6C1A7E10, 0x2B3D, 0x4F5A, {0x8E, 0x9C, 0x0D, 0x1E, 0x2F, 0x3A, 0x4B, 0x01}};
constexpr CLSID CLSID_Other = {
    0x6C1A7E10, 0x2B3D, 0x4F5A, {0x8E, 0x9C, 0x0D, 0x1E, 0x2F, 0x3A, 0x4B, 0x02}};
constexpr GUID kMinor = {
    0x6C1A7E10, 0x2B3D, 0x4F5A, {0x8E, 0x9C, 0x0D, 0x1E, 0x2F, 0x3A, 0x4B, 0x03}};

ServerModule& Module();
HRESULT g_constructorResult = S_OK;

class Widget final : public platform::media::ModuleObject, public CUnknown {
  public:
    explicit Widget(IUnknown* outer) : ModuleObject(Module()), CUnknown("widget", outer) {}
    static CUnknown* Create(IUnknown* outer, HRESULT* result) {
        *result = g_constructorResult;
        return new Widget(outer);
    }
};

const AMOVIESETUP_MEDIATYPE kTypes[] = {{&MEDIATYPE_Video, &kMinor}, {&MEDIATYPE_Audio, nullptr}};
const AMOVIESETUP_PIN kPins[] = {
    {u"In", TRUE, FALSE, FALSE, TRUE, &CLSID_NULL, nullptr, 2, kTypes},
    {u"Out", FALSE, TRUE, TRUE, FALSE, &CLSID_Other, u"Pin B", 0, nullptr},
};
const AMOVIESETUP_FILTER kSetup = {&CLSID_Widget, u"Widget", MERIT_UNLIKELY, 2, kPins};
const CFactoryTemplate kTemplates[] = {
    {u"Widget Class", &CLSID_Widget, &Widget::Create, nullptr, &kSetup}};

ServerModule& Module() {
    static ServerModule module(kTemplates);
    return module;
}

std::string Key(const GUID& g) {
    return "CLSID\\" + platform::FormatGuid(g);
}
const std::string kInstanceKey =
    Key(CLSID_LegacyAmFilterCategory) + "\\Instance\\" + platform::FormatGuid(CLSID_Widget);

std::vector<BYTE> ReadBinary(const std::string& key, const char16_t* name) {
    HKEY k = nullptr;
    std::vector<BYTE> bytes;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS)
        return bytes;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(k, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        type == REG_BINARY) {
        bytes.resize(size);
        RegQueryValueExW(k, name, nullptr, &type, bytes.data(), &size);
    }
    RegCloseKey(k);
    return bytes;
}

class ServerModuleTest : public ::testing::Test {
  protected:
    void SetUp() override { CoInitialize(nullptr); }
    void TearDown() override {
        g_constructorResult = S_OK;
        CoUninitialize();
    }
    velmora::test::TempRegistry registry_;
};

TEST_F(ServerModuleTest, ClassObjectAnswersByInterfaceThenByClass) {
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(Module().GetClassObject(CLSID_Other, IID_IClassFactory, factory.PutVoid()),
              CLASS_E_CLASSNOTAVAILABLE);
    // The interface is checked first, whatever the class.
    EXPECT_EQ(Module().GetClassObject(CLSID_Other, IID_IBaseFilter, factory.PutVoid()),
              E_NOINTERFACE);
    EXPECT_EQ(Module().GetClassObject(CLSID_Widget, IID_IBaseFilter, factory.PutVoid()),
              E_NOINTERFACE);
    EXPECT_FALSE(factory);
    EXPECT_EQ(Module().GetClassObject(CLSID_Widget, IID_IClassFactory, nullptr), E_POINTER);
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(Module().GetClassObject(CLSID_Widget, IID_IUnknown, unknown.PutVoid()), S_OK);
    ASSERT_EQ(Module().GetClassObject(CLSID_Widget, IID_IClassFactory, factory.PutVoid()), S_OK);
    ComPtr<IUnknown> object;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, object.PutVoid()), S_OK);
    EXPECT_TRUE(object);
}

TEST_F(ServerModuleTest, FactoryRefusesAggregationForOtherInterfacesAndDeletesFailedObjects) {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(Module().GetClassObject(CLSID_Widget, IID_IClassFactory, factory.PutVoid()), S_OK);
    ComPtr<IUnknown> outer, object;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, outer.PutVoid()), S_OK);
    EXPECT_EQ(factory->CreateInstance(outer.Get(), IID_IBaseFilter, object.PutVoid()),
              E_NOINTERFACE);
    const long before = Module().ObjectCount();
    g_constructorResult = E_ACCESSDENIED;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, object.PutVoid()), E_ACCESSDENIED);
    EXPECT_FALSE(object);
    EXPECT_EQ(Module().ObjectCount(), before);  // the failed object is gone
}

TEST_F(ServerModuleTest, CanUnloadReflectsTheModulesObjectsAndLocksOnly) {
    EXPECT_EQ(Module().CanUnloadNow(), S_OK);
    ComPtr<IBaseFilter> foreign;  // an object of another module of the process
    ASSERT_EQ(CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               foreign.PutVoid()),
              S_OK);
    EXPECT_EQ(Module().CanUnloadNow(), S_OK);

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(Module().GetClassObject(CLSID_Widget, IID_IClassFactory, factory.PutVoid()), S_OK);
    EXPECT_EQ(Module().CanUnloadNow(), S_FALSE);  // a live factory is the module's code too
    ComPtr<IUnknown> object;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, object.PutVoid()), S_OK);
    factory->LockServer(TRUE);
    factory.Reset();
    EXPECT_EQ(Module().CanUnloadNow(), S_FALSE);
    object.Reset();
    EXPECT_EQ(Module().CanUnloadNow(), S_FALSE);  // still locked
    ASSERT_EQ(Module().GetClassObject(CLSID_Widget, IID_IClassFactory, factory.PutVoid()), S_OK);
    factory->LockServer(FALSE);
    factory.Reset();
    EXPECT_EQ(Module().CanUnloadNow(), S_OK);
}

TEST_F(ServerModuleTest, RegistrationWritesClassKeysAndFilterDataAndUnregistrationRemovesThem) {
    ASSERT_EQ(Module().RegisterServer(), S_OK);
    EXPECT_EQ(platform::ReadRegistryString(HKEY_CLASSES_ROOT, Key(CLSID_Widget), ""),
              "Widget Class");
    auto server =
        platform::ReadRegistryString(HKEY_CLASSES_ROOT, Key(CLSID_Widget) + "\\InprocServer32", "");
    ASSERT_TRUE(server);
    EXPECT_TRUE(
        std::filesystem::equivalent(*server, "/proc/self/exe"));  // the module: this program
    EXPECT_EQ(platform::ReadRegistryString(
                  HKEY_CLASSES_ROOT, Key(CLSID_Widget) + "\\InprocServer32", "ThreadingModel"),
              "Both");
    EXPECT_EQ(platform::ReadRegistryString(HKEY_CLASSES_ROOT, kInstanceKey, "FriendlyName"),
              "Widget");
    EXPECT_EQ(platform::ReadRegistryString(HKEY_CLASSES_ROOT, kInstanceKey, "CLSID"),
              platform::FormatGuid(CLSID_Widget));

    std::vector<BYTE> bytes = ReadBinary(kInstanceKey, u"FilterData");
    auto data = DecodeFilterData(bytes.data(), bytes.size());
    ASSERT_TRUE(data);
    EXPECT_EQ(data->merit, MERIT_UNLIKELY);
    ASSERT_EQ(data->pins.size(), 2u);
    const auto& in = data->pins[0];
    EXPECT_EQ(in.name, u"In");
    EXPECT_TRUE(in.rendered && !in.output && !in.zero && in.many);
    ASSERT_EQ(in.mediaTypes.size(), 2u);
    EXPECT_EQ(in.mediaTypes[0], std::make_pair(MEDIATYPE_Video, kMinor));
    EXPECT_EQ(in.mediaTypes[1], std::make_pair(MEDIATYPE_Audio, GUID_NULL));
    const auto& out = data->pins[1];
    EXPECT_TRUE(!out.rendered && out.output && out.zero && !out.many);
    EXPECT_EQ(out.connectsToFilter, CLSID_Other);
    EXPECT_EQ(out.connectsToPin, u"Pin B");
    EXPECT_TRUE(out.mediaTypes.empty());

    ASSERT_EQ(Module().UnregisterServer(), S_OK);
    EXPECT_FALSE(std::filesystem::exists(registry_.Root() / Key(CLSID_Widget)));
    EXPECT_FALSE(platform::ReadRegistryString(HKEY_CLASSES_ROOT, kInstanceKey, "FriendlyName"));
    // Unregistering what is gone is not an error.
    EXPECT_EQ(Module().UnregisterServer(), S_OK);
}

TEST_F(ServerModuleTest, MapperAnswersFileNotFoundForAFilterThatIsNotRegistered) {
    ComPtr<IFilterMapper2> mapper;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IFilterMapper2, mapper.PutVoid()),
              S_OK);
    EXPECT_EQ(mapper->UnregisterFilter(nullptr, nullptr, CLSID_Widget),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    const REGFILTER2 data{1, MERIT_NORMAL, 0, nullptr};
    ASSERT_EQ(mapper->RegisterFilter(CLSID_Widget, u"W", nullptr, &CLSID_Other, u"inst", &data),
              S_OK);
    EXPECT_EQ(platform::ReadRegistryString(HKEY_CLASSES_ROOT, Key(CLSID_Other) + "\\Instance\\inst",
                                           "FriendlyName"),
              "W");
    EXPECT_EQ(mapper->UnregisterFilter(&CLSID_Other, u"inst", CLSID_Widget), S_OK);
}

TEST(FilterData, DamagedValuesAreRefused) {
    const REGFILTER2 data{1, MERIT_NORMAL, 2, kPins};
    std::vector<BYTE> bytes = platform::media::EncodeFilterData(data);
    ASSERT_TRUE(DecodeFilterData(bytes.data(), bytes.size()));
    for (std::size_t cut = 0; cut < bytes.size(); ++cut)
        EXPECT_FALSE(DecodeFilterData(bytes.data(), cut)) << cut;
    bytes.push_back(0);
    EXPECT_FALSE(DecodeFilterData(bytes.data(), bytes.size()));  // trailing bytes
    bytes.pop_back();
    bytes[12 + 4 + 16] = 0xFF;  // a name length far beyond the value
    EXPECT_FALSE(DecodeFilterData(bytes.data(), bytes.size()));
}

}  // namespace
