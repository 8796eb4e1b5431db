#include <fstream>
#include <thread>

#include "tests/platform/filters/filter_test_support.h"

namespace filter_test {
namespace {

constexpr LONG kFileSize = 1000;

std::vector<BYTE> FileBytes() { return Pattern(7, kFileSize); }

class AsyncReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitialize(nullptr);
        path_ = dir_.File("clip.bin");
        std::ofstream(path_, std::ios::binary)
            .write(reinterpret_cast<const char*>(FileBytes().data()), kFileSize);
        filter_ = Create(CLSID_AsyncReader);
        source_ = filter_.As<IFileSourceFilter>();
        ASSERT_EQ(source_->Load(Wide(path_).c_str(), nullptr), S_OK);
        reader_ = Pin(filter_.Get(), u"Output").As<IAsyncReader>();
        ASSERT_TRUE(reader_);
        ALLOCATOR_PROPERTIES wanted{3, 256, 1, 0};
        ASSERT_EQ(reader_->RequestAllocator(nullptr, &wanted, allocator_.Put()), S_OK);
        ASSERT_EQ(allocator_->Commit(), S_OK);
    }
    void TearDown() override {
        if (allocator_) allocator_->Decommit();
    }
    // A pool sample asking for bytes [start, start + length).
    ComPtr<IMediaSample> Ask(LONGLONG start, LONGLONG length) {
        ComPtr<IMediaSample> sample;
        EXPECT_EQ(allocator_->GetBuffer(sample.Put(), nullptr, nullptr, 0), S_OK);
        REFERENCE_TIME from = start * UNITS, to = (start + length) * UNITS;
        sample->SetTime(&from, &to);
        return sample;
    }
    static std::vector<BYTE> Bytes(IMediaSample* sample) {
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        return {data, data + sample->GetActualDataLength()};
    }
    static std::vector<BYTE> Slice(LONG from, LONG count) {
        auto all = FileBytes();
        return {all.begin() + from, all.begin() + from + count};
    }

    TempDir dir_;
    std::string path_;
    ComPtr<IBaseFilter> filter_;
    ComPtr<IFileSourceFilter> source_;
    ComPtr<IAsyncReader> reader_;
    ComPtr<IMemAllocator> allocator_;
};

TEST_F(AsyncReaderTest, LoadDecidesTheStreamType) {
    LPOLESTR name = nullptr;
    AM_MEDIA_TYPE type{};
    ASSERT_EQ(source_->GetCurFile(&name, &type), S_OK);
    EXPECT_EQ(std::u16string(name), Wide(path_));
    CoTaskMemFree(name);
    EXPECT_EQ(type.majortype, MEDIATYPE_Stream);
    EXPECT_EQ(type.subtype, GUID_NULL);
    FreeMediaType(type);

    std::string avi = dir_.File("clip.avi");
    std::ofstream(avi, std::ios::binary).write("RIFF\x10\0\0\0AVI LIST", 16);
    auto other = Create(CLSID_AsyncReader).As<IFileSourceFilter>();
    ASSERT_EQ(other->Load(Wide(avi).c_str(), nullptr), S_OK);
    ASSERT_EQ(other->GetCurFile(&name, &type), S_OK);
    CoTaskMemFree(name);
    EXPECT_EQ(type.subtype, MEDIASUBTYPE_Avi);
    FreeMediaType(type);

    EXPECT_TRUE(FAILED(other->Load(Wide(dir_.File("none.avi")).c_str(), nullptr)));
    EXPECT_TRUE(FAILED(Create(CLSID_AsyncReader).As<IFileSourceFilter>()->Load(
        Wide(dir_.File("")).c_str(), nullptr)));  // a directory
}

TEST_F(AsyncReaderTest, SyncReadsAreWholePartialOrShortAtTheEnd) {
    LONGLONG total = 0, available = 0;
    ASSERT_EQ(reader_->Length(&total, &available), S_OK);
    EXPECT_EQ(total, kFileSize);
    EXPECT_EQ(available, kFileSize);

    std::vector<BYTE> all(kFileSize);
    ASSERT_EQ(reader_->SyncRead(0, kFileSize, all.data()), S_OK);
    EXPECT_EQ(all, FileBytes());

    std::vector<BYTE> part(50);
    ASSERT_EQ(reader_->SyncRead(100, 50, part.data()), S_OK);
    EXPECT_EQ(part, Slice(100, 50));

    std::vector<BYTE> tail(20, 0xEE);
    ASSERT_EQ(reader_->SyncRead(990, 20, tail.data()), S_FALSE);
    EXPECT_EQ(std::vector<BYTE>(tail.begin(), tail.begin() + 10), Slice(990, 10));
    EXPECT_EQ(std::vector<BYTE>(tail.begin() + 10, tail.end()), std::vector<BYTE>(10, 0xEE));
    EXPECT_EQ(reader_->SyncRead(5000, 20, tail.data()), S_FALSE);
    EXPECT_EQ(reader_->SyncRead(-1, 20, tail.data()), E_INVALIDARG);
    EXPECT_EQ(reader_->SyncRead(0, -1, tail.data()), E_INVALIDARG);
    EXPECT_EQ(reader_->SyncRead(0, 1, nullptr), E_POINTER);

    auto sample = Ask(900, 256);
    EXPECT_EQ(reader_->SyncReadAligned(sample.Get()), S_FALSE);
    EXPECT_EQ(Bytes(sample.Get()), Slice(900, 100));
}

TEST_F(AsyncReaderTest, RequestsAreReadWhenCollected) {
    auto first = Ask(0, 256), last = Ask(900, 256);
    ASSERT_EQ(reader_->Request(first.Get(), 11), S_OK);
    ASSERT_EQ(reader_->Request(last.Get(), 22), S_OK);

    IMediaSample* done = nullptr;
    DWORD_PTR user = 0;
    ASSERT_EQ(reader_->WaitForNext(INFINITE, &done, &user), S_OK);
    EXPECT_EQ(done, first.Get());
    EXPECT_EQ(user, 11u);
    EXPECT_EQ(Bytes(done), Slice(0, 256));
    done->Release();

    ASSERT_EQ(reader_->WaitForNext(INFINITE, &done, &user), S_FALSE);  // past the end: short
    EXPECT_EQ(user, 22u);
    EXPECT_EQ(Bytes(done), Slice(900, 100));
    done->Release();

    EXPECT_EQ(reader_->WaitForNext(10, &done, &user), VFW_E_TIMEOUT);
    EXPECT_EQ(done, nullptr);
    first.Reset();  // back to the pool
    last.Reset();

    // A range larger than the sample's buffer is refused before anything is read.
    auto oversized = Ask(0, 257);
    EXPECT_EQ(reader_->Request(oversized.Get(), 0), E_INVALIDARG);
    EXPECT_EQ(reader_->SyncReadAligned(oversized.Get()), E_INVALIDARG);
    auto backwards = Ask(10, -5);
    EXPECT_EQ(reader_->Request(backwards.Get(), 0), E_INVALIDARG);
}

TEST_F(AsyncReaderTest, FlushHandsPendingRequestsBackAndRefusesNewOnes) {
    auto a = Ask(0, 16), b = Ask(16, 16);
    ASSERT_EQ(reader_->Request(a.Get(), 1), S_OK);
    ASSERT_EQ(reader_->Request(b.Get(), 2), S_OK);
    ASSERT_EQ(reader_->BeginFlush(), S_OK);
    auto c = Ask(32, 16);
    EXPECT_EQ(reader_->Request(c.Get(), 3), VFW_E_WRONG_STATE);

    IMediaSample* done = nullptr;
    DWORD_PTR user = 0;
    for (DWORD_PTR expected : {1u, 2u}) {
        EXPECT_EQ(reader_->WaitForNext(INFINITE, &done, &user), VFW_E_WRONG_STATE);
        ASSERT_NE(done, nullptr);  // handed back so that the caller can release it
        EXPECT_EQ(user, expected);
        done->Release();
    }
    EXPECT_EQ(reader_->WaitForNext(INFINITE, &done, &user), VFW_E_WRONG_STATE);
    EXPECT_EQ(done, nullptr);

    ASSERT_EQ(reader_->EndFlush(), S_OK);
    ASSERT_EQ(reader_->Request(c.Get(), 3), S_OK);
    ASSERT_EQ(reader_->WaitForNext(INFINITE, &done, &user), S_OK);
    EXPECT_EQ(Bytes(done), Slice(32, 16));
    done->Release();
}

TEST_F(AsyncReaderTest, FlushReleasesAWaitOnAnotherThread) {
    HRESULT waited = S_OK;
    IMediaSample* done = nullptr;
    std::thread parser([&] {
        DWORD_PTR user = 0;
        waited = reader_->WaitForNext(INFINITE, &done, &user);
    });
    Sleep(20);
    reader_->BeginFlush();
    parser.join();
    EXPECT_EQ(waited, VFW_E_WRONG_STATE);
    EXPECT_EQ(done, nullptr);
    reader_->EndFlush();
}

TEST_F(AsyncReaderTest, ARequestOnAnotherThreadWakesTheWait) {
    auto sample = Ask(500, 64);
    HRESULT waited = E_FAIL;
    IMediaSample* done = nullptr;
    std::thread parser([&] {
        DWORD_PTR user = 0;
        waited = reader_->WaitForNext(5000, &done, &user);
    });
    ASSERT_EQ(reader_->Request(sample.Get(), 5), S_OK);
    parser.join();
    ASSERT_EQ(waited, S_OK);
    EXPECT_EQ(Bytes(done), Slice(500, 64));
    done->Release();
}

}  // namespace
}  // namespace filter_test
