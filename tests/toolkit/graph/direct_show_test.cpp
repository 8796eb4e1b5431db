#include "toolkit/graph/direct_show.h"

#include <gtest/gtest.h>

#include "platform/com/com.h"
#include "platform/media/graph/devices.h"
#include "tests/support/test_filters.h"

namespace {

using namespace velmora::test;

class Owner : public CDirectShow {
public:
    using CDirectShow::m_pGraph;
};

PinEntry g_sourcePins[] = {{"Output", nullptr}};
PinEntry g_transformPins[] = {{"XForm In", nullptr}, {"XForm Out", nullptr}};
PinEntry g_inPlacePins[] = {{"XForm In", nullptr}, {"XForm Out", nullptr}};
PinEntry g_sinkPins[] = {{"In", nullptr}};

const FilterEntry kChain[] = {
    {kCreateByClass, {&CLSID_TestFrameSource}, "Source", nullptr, 1, g_sourcePins},
    {kCreateByClass, {&CLSID_TestTransform}, "Transform", nullptr, 2, g_transformPins},
    {kCreateByClass, {&CLSID_TestInPlace}, "In place", nullptr, 2, g_inPlacePins},
    {kCreateByClass, {&CLSID_TestSink}, "Sink", nullptr, 1, g_sinkPins},
    {2, {&CLSID_TestSink}, "Skipped", nullptr, 1, g_sinkPins},
};

const CLSID kNoSuchClass = {0xDEADBEEF, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};

class DirectShow : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        RegisterTestFilters();
        objectsBefore_ = CUnknown::ObjectCount();
    }
    void TearDown() override {
        owner_.reset();
        EXPECT_EQ(CUnknown::ObjectCount(), objectsBefore_) << "objects leaked";
        CoUninitialize();
    }

    std::unique_ptr<Owner> owner_ = std::make_unique<Owner>();
    long objectsBefore_ = 0;
};

TEST_F(DirectShow, CreatesTheGraphOnceAndSkipsEntriesOfOtherKinds) {
    ASSERT_EQ(owner_->CreateGraph(), 1);
    IGraphBuilder* first = owner_->Graph();
    EXPECT_EQ(owner_->CreateGraph(), 0);
    EXPECT_EQ(owner_->Graph(), first);

    auto table = CDirectShow::CopyTable(kChain, 5);
    ASSERT_TRUE(table);
    EXPECT_NE((*table)[0].pins, kChain[0].pins);  // its own pin arrays
    EXPECT_EQ(owner_->CreateFilters(table->Entries(), 5), 1);
    EXPECT_NE((*table)[3].filter, nullptr);
    EXPECT_EQ((*table)[4].filter, nullptr);
    EXPECT_EQ(kChain[0].filter, nullptr);  // the constant table is never written
    EXPECT_EQ(owner_->AddFilters(table->Entries(), 4), 1);
    owner_->Teardown(table->Entries(), 5);
    EXPECT_EQ(owner_->ReleaseGraph(), 1);
    EXPECT_EQ(CDirectShow::FreeTable(table), 1);
}

TEST_F(DirectShow, APlanConnectsInOrderAndAFailureLeavesEarlierStepsConnected) {
    ASSERT_EQ(owner_->CreateGraph(), 1);
    auto table = CDirectShow::CopyTable(kChain, 4);
    owner_->CreateFilters(table->Entries(), 4);
    ASSERT_EQ(owner_->AddFilters(table->Entries(), 4), 1);

    CMediaType audio(&MEDIATYPE_Audio);
    audio.SetFormatType(&FORMAT_WaveFormatEx);
    const ConnectStep plan[] = {
        {kStepFindPin, 0, 0, 0, 0, nullptr},   // source Output
        {kStepFindPin, 1, 0, 0, 0, nullptr},   // transform XForm In
        {kStepConnect, 0, 0, 1, 0, nullptr},
        {kStepFindPin, 1, 1, 0, 0, nullptr},   // transform XForm Out
        {kStepFindPin, 2, 0, 0, 0, nullptr},   // in place XForm In
        {kStepConnect, 1, 1, 2, 0, &audio},    // refused: wrong type
        {kStepConnect, 2, 1, 3, 0, nullptr},
    };
    try {
        owner_->Connect(table->Entries(), 4, plan, 7);
        FAIL() << "the plan should have failed";
    } catch (const _tagDXM_EXPECT& e) {
        EXPECT_EQ(e.index, 5);
        EXPECT_EQ(e.reason, kExpectConnectionRefused);
        EXPECT_TRUE(FAILED(e.result));
    }
    IPin* peer = nullptr;
    ASSERT_EQ((*table)[0].pins[0].pin->ConnectedTo(&peer), S_OK);
    EXPECT_EQ(peer, (*table)[1].pins[0].pin);
    peer->Release();
    EXPECT_EQ((*table)[1].pins[1].pin->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);

    // Teardown disconnects what the plan connected; keep a reference to look afterwards.
    IPin* output = (*table)[0].pins[0].pin;
    output->AddRef();
    owner_->Teardown(table->Entries(), 4);
    EXPECT_EQ(output->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
    output->Release();
    EXPECT_EQ((*table)[0].pins[0].pin, nullptr);
    EXPECT_EQ((*table)[0].filter, nullptr);
}

TEST_F(DirectShow, PinErrorsCarryTheStepAndTheLastConnectResult) {
    ASSERT_EQ(owner_->CreateGraph(), 1);
    auto table = CDirectShow::CopyTable(kChain, 4);
    owner_->CreateFilters(table->Entries(), 4);
    owner_->AddFilters(table->Entries(), 4);

    // A connect whose input pin no step found gets a null pin, which is refused.
    const ConnectStep unfound[] = {{kStepFindPin, 0, 0, 0, 0, nullptr},
                                   {kStepConnect, 0, 0, 1, 0, nullptr}};
    try {
        owner_->Connect(table->Entries(), 4, unfound, 2);
        FAIL();
    } catch (const _tagDXM_EXPECT& e) {
        EXPECT_EQ(e.index, 1);
        EXPECT_EQ(e.reason, kExpectConnectionRefused);
        EXPECT_EQ(e.result, E_POINTER);
    }

    PinEntry wrongName[] = {{"Output 2", nullptr}};
    FilterEntry bad[] = {(*table)[0]};
    bad[0].pins = wrongName;
    bad[0].filter = (*table)[0].filter;
    const ConnectStep find[] = {{7, 0, 0, 0, 0, nullptr}, {kStepFindPin, 0, 0, 0, 0, nullptr}};
    try {
        owner_->Connect(bad, 1, find, 2);
        FAIL();
    } catch (const _tagDXM_EXPECT& e) {
        EXPECT_EQ(e.index, 1);
        EXPECT_EQ(e.reason, kExpectPinNotFound);
        EXPECT_EQ(e.result, 0);
    }
    owner_->Teardown(table->Entries(), 4);
}

TEST_F(DirectShow, FindPinMatchesTheExactName) {
    IBaseFilter* filter = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_TestTwoInputs, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IBaseFilter, reinterpret_cast<void**>(&filter)),
              S_OK);
    IPin* pin = CDirectShow::FindPin(filter, "Input");
    ASSERT_NE(pin, nullptr);
    PIN_INFO info{};
    pin->QueryPinInfo(&info);
    info.pFilter->Release();
    EXPECT_EQ(std::u16string(info.achName), u"Input");
    pin->Release();
    EXPECT_EQ(CDirectShow::FindPin(filter, "input"), nullptr);
    EXPECT_EQ(CDirectShow::FindPin(filter, "Input 0"), nullptr);
    filter->Release();
}

TEST_F(DirectShow, FailedCreationThrowsAndTeardownReleasesFiltersNeverAdded) {
    ASSERT_EQ(owner_->CreateGraph(), 1);
    FilterEntry entries[] = {kChain[0], kChain[3], kChain[1]};
    entries[2].cls.clsid = &kNoSuchClass;
    auto table = CDirectShow::CopyTable(entries, 3);
    try {
        owner_->CreateFilters(table->Entries(), 3);
        FAIL();
    } catch (const _tagDXM_EXPECT& e) {
        EXPECT_EQ(e.index, 2);
        EXPECT_EQ(e.reason, kExpectFilterNotCreated);
        EXPECT_EQ(e.result, 0);
    }
    EXPECT_NE((*table)[0].filter, nullptr);
    EXPECT_NE((*table)[1].filter, nullptr);
    owner_->Teardown(table->Entries(), 3);  // RemoveFilter fails for them; they still go
    EXPECT_EQ((*table)[0].filter, nullptr);
    EXPECT_EQ((*table)[1].filter, nullptr);
}

TEST_F(DirectShow, DevicesAreFoundByFriendlyNameAndIndex) {
    int created = 0;
    int token = platform::AddDeviceProvider(CLSID_VideoInputDeviceCategory, [&created] {
        auto make = [&created](IBaseFilter** filter) {
            ++created;
            return CoCreateInstance(CLSID_TestSink, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IBaseFilter, reinterpret_cast<void**>(filter));
        };
        return std::vector<platform::DeviceEntry>{
            {u"Other camera", u"a", make, u"other"},
            {u"Microsoft DV Camera and VCR", u"b", make, u"deck"},
        };
    });
    EXPECT_EQ(CDirectShow::CountDevices("Microsoft DV Camera and VCR"), 1);
    EXPECT_EQ(CDirectShow::CountDevices("microsoft dv camera and vcr"), 0);
    EXPECT_EQ(CDirectShow::FindDevice("Microsoft DV Camera and VCR", 1), nullptr);
    IMoniker* moniker = CDirectShow::FindDevice("Microsoft DV Camera and VCR", 0);
    ASSERT_NE(moniker, nullptr);
    moniker->Release();

    PinEntry pins[] = {{"In", nullptr}};
    FilterEntry device[] = {{kCreateDevice, {}, "Microsoft DV Camera and VCR", nullptr, 1, pins}};
    device[0].cls.deviceIndex = 0;
    auto table = CDirectShow::CopyTable(device, 1);
    ASSERT_EQ(owner_->CreateFilters(table->Entries(), 1), 1);
    EXPECT_NE((*table)[0].filter, nullptr);
    EXPECT_EQ(created, 1);
    (*table)[0].cls.deviceIndex = 1;
    EXPECT_THROW(owner_->CreateFilters(table->Entries(), 1), _tagDXM_EXPECT);
    table.reset();

    platform::RemoveDeviceProvider(token);
    EXPECT_EQ(CDirectShow::CountDevices("Microsoft DV Camera and VCR"), 0);
}

TEST_F(DirectShow, TheConnectedChainRunsToCompletion) {
    ASSERT_EQ(owner_->CreateGraph(), 1);
    auto table = CDirectShow::CopyTable(kChain, 4);
    owner_->CreateFilters(table->Entries(), 4);
    owner_->AddFilters(table->Entries(), 4);
    const ConnectStep plan[] = {
        {kStepFindPin, 0, 0, 0, 0, nullptr}, {kStepFindPin, 1, 0, 0, 0, nullptr},
        {kStepConnect, 0, 0, 1, 0, nullptr}, {kStepFindPin, 1, 1, 0, 0, nullptr},
        {kStepFindPin, 2, 0, 0, 0, nullptr}, {kStepConnect, 1, 1, 2, 0, nullptr},
        {kStepFindPin, 2, 1, 0, 0, nullptr}, {kStepFindPin, 3, 0, 0, 0, nullptr},
        {kStepConnect, 2, 1, 3, 0, nullptr},
    };
    ASSERT_EQ(owner_->Connect(table->Entries(), 4, plan, 9), 1);
    static_cast<TestFrameSource*>((*table)[0].filter)->Stream()->SetFrameCount(3);
    IMediaControl* control = nullptr;
    IMediaEvent* events = nullptr;
    owner_->Graph()->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control));
    owner_->Graph()->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(&events));
    control->Run();
    LONG code = 0;
    EXPECT_EQ(events->WaitForCompletion(5000, &code), S_OK);
    control->Stop();
    EXPECT_EQ(static_cast<TestSink*>((*table)[3].filter)->Frames().size(), 3u);
    control->Release();
    events->Release();
    owner_->Teardown(table->Entries(), 4);
}

}  // namespace
