#include "platform/dv/codec.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/dv/dif.h"
#include "platform/kernel/debug_output.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace platform::dv {

namespace {

struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsFree {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

// A scaler that is rebuilt only when its parameters change.
class Scaler {
  public:
    SwsContext* Get(int srcW, int srcH, AVPixelFormat src, int dstW, int dstH, AVPixelFormat dst) {
        SwsContext* next = sws_getCachedContext(context_.release(), srcW, srcH, src, dstW, dstH,
                                                dst, SWS_BICUBIC, nullptr, nullptr, nullptr);
        context_.reset(next);
        return next;
    }

  private:
    std::unique_ptr<SwsContext, SwsFree> context_;
};

AVPixelFormat FfmpegFormat(PixelLayout layout) {
    switch (layout) {
        case PixelLayout::Rgb24:
            return AV_PIX_FMT_BGR24;
        case PixelLayout::Rgb32:
            return AV_PIX_FMT_BGR0;
        case PixelLayout::Yuy2:
            return AV_PIX_FMT_YUYV422;
    }
    return AV_PIX_FMT_NONE;
}

int BytesPerPixel(PixelLayout layout) {
    switch (layout) {
        case PixelLayout::Rgb24:
            return 3;
        case PixelLayout::Rgb32:
            return 4;
        case PixelLayout::Yuy2:
            return 2;
    }
    return 0;
}

// FFmpeg's messages (a damaged frame is worth one) go to the debugger output, not to stderr.
void LogToDebugOutput(void*, int level, const char* format, va_list args) {
    if (level > AV_LOG_WARNING) return;
    char line[512];
    std::vsnprintf(line, sizeof(line), format, args);
    OutputDebugStringA(line);
}

// The encoder's picture format for each system: FFmpeg picks the DV profile from it.
AVPixelFormat EncoderFormat(System system) {
    return system == System::Pal625 ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_YUV411P;
}

CodecContextPtr OpenContext(const AVCodec* codec, bool encoder, System system = System::Ntsc525) {
    static std::once_flag logging;
    std::call_once(logging, [] { av_log_set_callback(&LogToDebugOutput); });
    if (!codec) return nullptr;
    CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context) return nullptr;
    context->thread_count = 1;
    if (encoder) {
        const bool pal = system == System::Pal625;
        context->width = DvEncoder::kWidth;
        context->height = pal ? 576 : DvEncoder::kHeight;
        context->pix_fmt = EncoderFormat(system);
        context->time_base = pal ? AVRational{1, 25} : AVRational{1001, 30000};
    }
    if (avcodec_open2(context.get(), codec, nullptr) < 0) return nullptr;
    return context;
}

}  // namespace

std::size_t RowBytes(PixelLayout layout, int width) {
    return width > 0 ? static_cast<std::size_t>(width) * BytesPerPixel(layout) : 0;
}

std::size_t PictureBytes(PixelLayout layout, int width, int height) {
    return height > 0 ? RowBytes(layout, width) * static_cast<std::size_t>(height) : 0;
}

// ---- decoder ----

struct DvDecoder::State {
    CodecContextPtr context{OpenContext(avcodec_find_decoder(AV_CODEC_ID_DVVIDEO), false)};
    FramePtr picture{av_frame_alloc()};
    PacketPtr packet{av_packet_alloc()};
    std::vector<std::uint8_t> padded;  // libavcodec reads a little past the end of its input
    bool hasPicture = false;
    Scaler scaler;
};

DvDecoder::DvDecoder() : state_(std::make_unique<State>()) {}
DvDecoder::~DvDecoder() = default;

bool DvDecoder::IsOpen() const {
    return state_->context && state_->picture && state_->packet;
}

bool DvDecoder::Decode(const std::uint8_t* frame, std::size_t size) {
    if (!IsOpen() || !frame || size == 0 || size > (1u << 24)) return false;
    State& s = *state_;
    s.padded.resize(size + AV_INPUT_BUFFER_PADDING_SIZE);
    std::memcpy(s.padded.data(), frame, size);
    std::memset(s.padded.data() + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    s.packet->data = s.padded.data();
    s.packet->size = static_cast<int>(size);
    const int sent = avcodec_send_packet(s.context.get(), s.packet.get());
    s.packet->data = nullptr;
    s.packet->size = 0;
    if (sent < 0) return false;
    av_frame_unref(s.picture.get());
    s.hasPicture = avcodec_receive_frame(s.context.get(), s.picture.get()) == 0;
    return s.hasPicture;
}

int DvDecoder::Width() const {
    return state_->hasPicture ? state_->picture->width : 0;
}
int DvDecoder::Height() const {
    return state_->hasPicture ? state_->picture->height : 0;
}

bool DvDecoder::Convert(PixelLayout layout, int width, int height, std::uint8_t* out,
                        std::size_t size) {
    State& s = *state_;
    if (!s.hasPicture || !out || width <= 0 || height <= 0) return false;
    if (size < PictureBytes(layout, width, height)) return false;
    const AVFrame* p = s.picture.get();
    SwsContext* sws = s.scaler.Get(p->width, p->height, static_cast<AVPixelFormat>(p->format),
                                   width, height, FfmpegFormat(layout));
    if (!sws) return false;
    const int row = static_cast<int>(RowBytes(layout, width));
    std::uint8_t* planes[4] = {out, nullptr, nullptr, nullptr};
    int strides[4] = {row, 0, 0, 0};
    if (layout != PixelLayout::Yuy2) {
        // Bottom-up: the first picture row goes to the last row of the buffer.
        planes[0] = out + static_cast<std::size_t>(row) * (height - 1);
        strides[0] = -row;
    }
    return sws_scale(sws, p->data, p->linesize, 0, p->height, planes, strides) == height;
}

// ---- encoder ----

struct DvEncoder::State {
    explicit State(System system)
        : format(EncoderFormat(system)),
          context(OpenContext(avcodec_find_encoder(AV_CODEC_ID_DVVIDEO), true, system)) {}
    AVPixelFormat format;
    CodecContextPtr context;
    FramePtr picture{av_frame_alloc()};
    PacketPtr packet{av_packet_alloc()};
    Scaler scaler;
    std::int64_t pts = 0;
    bool buffers = false;
};

DvEncoder::DvEncoder(System system)
    : height_(system == System::Pal625 ? 576 : kHeight), state_(std::make_unique<State>(system)) {
    State& s = *state_;
    if (!s.context || !s.picture) return;
    s.picture->format = s.format;
    s.picture->width = kWidth;
    s.picture->height = height_;
    s.buffers = av_frame_get_buffer(s.picture.get(), 0) == 0;
}

DvEncoder::~DvEncoder() = default;

bool DvEncoder::IsOpen() const {
    return state_->context && state_->packet && state_->buffers;
}

std::size_t DvEncoder::Encode(const std::uint8_t* rgb, std::size_t size, std::uint8_t* out,
                              std::size_t capacity) {
    State& s = *state_;
    const std::size_t row = RowBytes(PixelLayout::Rgb24, kWidth);
    const int height = height_;
    if (!IsOpen() || !rgb || !out || size < row * height) return 0;
    if (av_frame_make_writable(s.picture.get()) < 0) return 0;
    SwsContext* sws = s.scaler.Get(kWidth, height, AV_PIX_FMT_BGR24, kWidth, height, s.format);
    if (!sws) return 0;
    // The picture's top row is the buffer's last.
    const std::uint8_t* planes[4] = {rgb + row * (height - 1), nullptr, nullptr, nullptr};
    const int strides[4] = {-static_cast<int>(row), 0, 0, 0};
    sws_scale(sws, planes, strides, 0, height, s.picture->data, s.picture->linesize);
    s.picture->pts = s.pts++;
    if (avcodec_send_frame(s.context.get(), s.picture.get()) < 0) return 0;
    if (avcodec_receive_packet(s.context.get(), s.packet.get()) < 0) return 0;
    std::size_t written = 0;
    const auto length = static_cast<std::size_t>(s.packet->size);
    if (length <= capacity) {
        std::memcpy(out, s.packet->data, length);
        written = length;
    }
    av_packet_unref(s.packet.get());
    return written;
}

}  // namespace platform::dv
