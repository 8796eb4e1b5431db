#include "platform/filters/mux_layout.h"

#include <cstring>

namespace platform::filters {

namespace {

class AviLayout final : public MuxLayout {
  public:
    AviLayout(std::vector<avi::StreamFormat> streams, std::uint64_t riffLimit,
              std::vector<std::uint8_t> dateText)
        : writer_(std::move(streams), riffLimit) {
        if (!dateText.empty()) writer_.SetDateChunk(std::move(dateText));
    }

    avi::Patch Begin() override { return writer_.Begin(); }
    HRESULT Place(int stream, std::uint32_t size, std::vector<avi::Patch>* before,
                  std::int64_t* position) override {
        return writer_.Place(stream, size, before, position);
    }
    void Retract(int stream, std::int64_t position) override { writer_.Retract(stream, position); }
    std::int64_t SpaceNeeded(std::uint32_t size) const override {
        return writer_.SpaceNeeded(size);
    }
    std::vector<avi::Patch> Finish() override { return writer_.Finish(); }
    // An 8-byte chunk header ('##dc' for the DV stream, '##wb' for audio, and the size) and the
    // pad byte of an odd size.
    ChunkFraming Framing(int stream, std::uint32_t size) const override {
        ChunkFraming framing;
        const std::uint32_t id = avi::ChunkId(stream, stream == 0 ? "dc" : "wb");
        std::memcpy(framing.header, &id, 4);
        std::memcpy(framing.header + 4, &size, 4);
        framing.headerSize = 8;
        framing.padSize = size & 1;
        return framing;
    }
    std::int64_t Chunks(int stream) const override { return writer_.Chunks(stream); }
    std::int64_t End() const override { return writer_.End(); }

  private:
    avi::Writer writer_;
};

class RawDvLayout final : public MuxLayout {
  public:
    avi::Patch Begin() override { return {0, {}}; }
    HRESULT Place(int stream, std::uint32_t size, std::vector<avi::Patch>*,
                  std::int64_t* position) override {
        if (stream != 0) return E_INVALIDARG;
        *position = end_;
        end_ += size;
        lastSize_ = size;
        ++frames_;
        return S_OK;
    }
    void Retract(int stream, std::int64_t position) override {
        if (stream != 0 || frames_ == 0 || position + lastSize_ != end_) return;
        end_ = position;
        lastSize_ = 0;
        --frames_;
    }
    std::int64_t SpaceNeeded(std::uint32_t size) const override { return end_ + size; }
    std::vector<avi::Patch> Finish() override { return {}; }
    ChunkFraming Framing(int, std::uint32_t) const override { return {}; }
    std::int64_t Chunks(int stream) const override { return stream == 0 ? frames_ : 0; }
    std::int64_t End() const override { return end_; }

  private:
    std::int64_t end_ = 0;
    std::int64_t lastSize_ = 0;
    std::int64_t frames_ = 0;
};

}  // namespace

std::unique_ptr<MuxLayout> MakeAviLayout(std::vector<avi::StreamFormat> streams,
                                         std::uint64_t riffLimit,
                                         std::vector<std::uint8_t> dateText) {
    return std::make_unique<AviLayout>(std::move(streams), riffLimit, std::move(dateText));
}

std::unique_ptr<MuxLayout> MakeRawDvLayout() {
    return std::make_unique<RawDvLayout>();
}

}  // namespace platform::filters
