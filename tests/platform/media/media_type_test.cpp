#include "platform/media/media_type.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "platform/com/com.h"

namespace {

// Counts its references; never deleted by Release (lives on the stack).
class CountedUnknown : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    std::atomic<ULONG> refs{1};
};

// Makes the task allocator fail while alive.
struct AllocatorFault {
    explicit AllocatorFault(std::function<bool(SIZE_T)> fail) {
        platform::SetTaskAllocatorFault(std::move(fail));
    }
    ~AllocatorFault() { platform::SetTaskAllocatorFault({}); }
};

TEST(MediaType, EmptyRecordHasFixedUnitSamplesAndNothingElse) {
    CMediaType type;
    EXPECT_EQ(type.majortype, GUID_NULL);
    EXPECT_EQ(type.subtype, GUID_NULL);
    EXPECT_EQ(type.formattype, GUID_NULL);
    EXPECT_EQ(type.bFixedSizeSamples, TRUE);
    EXPECT_EQ(type.bTemporalCompression, FALSE);
    EXPECT_EQ(type.lSampleSize, 1u);
    EXPECT_EQ(type.pUnk, nullptr);
    EXPECT_EQ(type.cbFormat, 0u);
    EXPECT_EQ(type.pbFormat, nullptr);
}

TEST(MediaType, SampleSizeZeroMarksVariableSizeAndKeepsTheOldSize) {
    CMediaType type;
    type.SetSampleSize(120000);
    EXPECT_EQ(type.bFixedSizeSamples, TRUE);
    EXPECT_EQ(type.lSampleSize, 120000u);
    type.SetSampleSize(0);
    EXPECT_EQ(type.bFixedSizeSamples, FALSE);
    EXPECT_EQ(type.lSampleSize, 120000u);
    EXPECT_EQ(type.GetSampleSize(), 0u);
}

TEST(MediaType, FormatBlockOfTheSameSizeIsReused) {
    CMediaType type;
    BYTE* first = type.AllocFormatBuffer(18);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(type.AllocFormatBuffer(18), first);
    EXPECT_EQ(type.cbFormat, 18u);
    BYTE* bigger = type.AllocFormatBuffer(88);
    ASSERT_NE(bigger, nullptr);
    EXPECT_EQ(type.cbFormat, 88u);
    EXPECT_EQ(type.pbFormat, bigger);
}

TEST(MediaType, FailedFormatAllocationFallsBackToALargeEnoughOldBlock) {
    CMediaType type;
    BYTE* old = type.AllocFormatBuffer(88);
    AllocatorFault fault([](SIZE_T) { return true; });
    EXPECT_EQ(type.AllocFormatBuffer(18), old);
    EXPECT_EQ(type.cbFormat, 88u);
    EXPECT_EQ(type.AllocFormatBuffer(100), nullptr);
    EXPECT_EQ(type.pbFormat, old);  // still owned, freed with the record
}

TEST(MediaType, CopyOwnsItsFormatBlockAndAReference) {
    CountedUnknown unknown;
    CMediaType source;
    source.SetType(&IID_IUnknown);
    source.SetSampleSize(0);
    BYTE* block = source.AllocFormatBuffer(18);
    for (int i = 0; i < 18; ++i) block[i] = static_cast<BYTE>(i);
    source.pUnk = &unknown;
    unknown.AddRef();  // the record's own reference
    {
        CMediaType copy(source);
        EXPECT_EQ(unknown.refs, 3u);
        ASSERT_EQ(copy.cbFormat, 18u);
        EXPECT_NE(copy.pbFormat, source.pbFormat);
        EXPECT_EQ(std::memcmp(copy.pbFormat, source.pbFormat, 18), 0);
        EXPECT_EQ(copy.majortype, IID_IUnknown);
        EXPECT_EQ(copy.bFixedSizeSamples, FALSE);
        EXPECT_TRUE(copy == source);
    }
    EXPECT_EQ(unknown.refs, 2u);
    ASSERT_EQ(source.pbFormat, block);
    EXPECT_EQ(source.cbFormat, 18u);
    for (int i = 0; i < 18; ++i) EXPECT_EQ(block[i], i);

    CMediaType assigned;
    assigned = source;
    assigned = assigned;  // self-assignment keeps the block
    EXPECT_EQ(assigned.cbFormat, 18u);
    EXPECT_EQ(unknown.refs, 3u);
    FreeMediaType(assigned);
    FreeMediaType(source);
    EXPECT_EQ(unknown.refs, 1u);
    EXPECT_EQ(source.pbFormat, nullptr);
    EXPECT_EQ(source.cbFormat, 0u);
}

TEST(MediaType, CopyWithoutMemoryHasNoFormatBlock) {
    CMediaType source;
    source.AllocFormatBuffer(18);
    AllocatorFault fault([](SIZE_T size) { return size == 18; });
    HRESULT hr = S_OK;
    CMediaType copy(source, &hr);
    EXPECT_EQ(hr, E_OUTOFMEMORY);
    EXPECT_EQ(copy.cbFormat, 0u);
    EXPECT_EQ(copy.pbFormat, nullptr);
    EXPECT_EQ(CreateMediaType(&source), nullptr);
}

TEST(MediaType, SetFormatReplacesAStaleLargerBlock) {
    CMediaType type;
    type.AllocFormatBuffer(88);
    const BYTE data[4] = {1, 2, 3, 4};
    ASSERT_TRUE(type.SetFormat(data, 4));
    EXPECT_EQ(type.cbFormat, 4u);
    EXPECT_EQ(std::memcmp(type.pbFormat, data, 4), 0);
    AM_MEDIA_TYPE* heap = CreateMediaType(&type);
    ASSERT_NE(heap, nullptr);
    EXPECT_EQ(heap->cbFormat, 4u);
    DeleteMediaType(heap);
}

}  // namespace
