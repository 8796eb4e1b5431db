#include <fstream>
#include <iterator>

#include "tests/platform/filters/filter_test_support.h"

namespace filter_test {
namespace {

std::vector<BYTE> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::string& path, const std::vector<BYTE>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Source -> File Writer; the source's start times are the byte positions.
struct WriterGraph {
    WriterGraph(const std::string& path, std::vector<LONGLONG> positions, DWORD mode) {
        source = g.Add(TestSource::Create(AtTimes(std::move(positions))), u"Source");
        writer = g.Add(Create(CLSID_FileWriter), u"Writer");
        sink = writer.As<IFileSinkFilter2>();
        EXPECT_EQ(sink->SetFileName(Wide(path).c_str(), nullptr), S_OK);
        EXPECT_EQ(sink->SetMode(mode), S_OK);
        EXPECT_EQ(g.Connect(source.Get(), u"Out", writer.Get(), u"in"), S_OK);
    }
    Graph g;
    ComPtr<IBaseFilter> source, writer;
    ComPtr<IFileSinkFilter2> sink;
};

std::vector<BYTE> Concat(std::initializer_list<std::vector<BYTE>> parts) {
    std::vector<BYTE> all;
    for (auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(FileWriter, WritesEachSampleAtItsBytePosition) {
    TempDir dir;
    std::string path = dir.File("out.dv");
    WriterGraph graph(path, {8, 0, 4}, AM_FILE_OVERWRITE);
    ASSERT_EQ(graph.g.RunToCompletion(), EC_COMPLETE);
    ASSERT_EQ(graph.g.control->Stop(), S_OK);  // closes the file
    EXPECT_EQ(ReadAll(path), Concat({Pattern(1, 4), Pattern(2, 4), Pattern(0, 4)}));
}

TEST(FileWriter, OverwriteTruncatesAndOtherwiseTheRestStays) {
    TempDir dir;
    std::string path = dir.File("existing.avi");
    const std::vector<BYTE> old(20, 'x');
    {
        WriteAll(path, old);
        WriterGraph graph(path, {0, 4}, 0);
        ASSERT_EQ(graph.g.RunToCompletion(), EC_COMPLETE);
        graph.g.control->Stop();
        EXPECT_EQ(ReadAll(path), Concat({Pattern(0, 4), Pattern(1, 4), std::vector<BYTE>(12, 'x')}));
    }
    {
        WriteAll(path, old);
        WriterGraph graph(path, {0, 4}, AM_FILE_OVERWRITE);
        ASSERT_EQ(graph.g.RunToCompletion(), EC_COMPLETE);
        graph.g.control->Stop();
        EXPECT_EQ(ReadAll(path), Concat({Pattern(0, 4), Pattern(1, 4)}));
    }
}

TEST(FileWriter, AFileThatCannotBeOpenedFailsTheRun) {
    TempDir dir;
    WriterGraph graph(dir.File("missing/out.avi"), {0}, AM_FILE_OVERWRITE);
    EXPECT_EQ(graph.g.control->Run(), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    OAFilterState state = -1;
    graph.g.control->GetState(0, &state);
    EXPECT_EQ(state, State_Stopped);
}

TEST(FileWriter, AWriteFailureReachesTheGraphAndKeepsWhatWasWritten) {
    {
        // A device that is always full.
        if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
        WriterGraph graph("/dev/full", {0, 4}, 0);
        EXPECT_EQ(graph.g.RunToCompletion(), EC_ERRORABORT);
    }
    TempDir dir;
    std::string path = dir.File("partial.avi");
    WriterGraph graph(path, {0, -4, 8}, AM_FILE_OVERWRITE);  // a position no file has
    EXPECT_EQ(graph.g.RunToCompletion(), EC_ERRORABORT);
    graph.g.control->Stop();
    EXPECT_EQ(ReadAll(path), Pattern(0, 4));
}

TEST(FileWriter, SinkInterfaceKeepsNameAndMode) {
    CoInitialize(nullptr);
    auto sink = Create(CLSID_FileWriter).As<IFileSinkFilter2>();
    ASSERT_TRUE(sink);
    LPOLESTR name = nullptr;
    EXPECT_EQ(sink->GetCurFile(&name, nullptr), E_FAIL);
    EXPECT_EQ(sink->SetFileName(nullptr, nullptr), E_POINTER);
    EXPECT_EQ(sink->SetFileName(u"", nullptr), E_INVALIDARG);
    const char16_t bad[] = {u'a', 0xD800, 0};  // a lone surrogate names no file
    EXPECT_EQ(sink->SetFileName(bad, nullptr), E_INVALIDARG);
    ASSERT_EQ(sink->SetFileName(u"/tmp/caf\u00e9.avi", nullptr), S_OK);
    ASSERT_EQ(sink->GetCurFile(&name, nullptr), S_OK);
    EXPECT_EQ(std::u16string(name), u"/tmp/caf\u00e9.avi");
    CoTaskMemFree(name);
    EXPECT_EQ(sink->SetMode(2), E_INVALIDARG);
    DWORD mode = 7;
    ASSERT_EQ(sink->GetMode(&mode), S_OK);
    EXPECT_EQ(mode, 0u);
}

}  // namespace
}  // namespace filter_test
