// libFuzzer target over AV/C answers, which come from the unit: the device filter's transport,
// timecode and capability calls and raw commands are answered with what the input says (a
// status byte, a length byte, the answer; answers past 255 bytes come from the classifier's
// own checks), and every answer is also fed to the FireWire
// backend's answer classifier as a response to the command that asked for it.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/com/com_ptr.h"
#include "platform/dv1394/dv_device_filter.h"
#include "platform/dv1394/firewire/avc_frame.h"

namespace {

namespace dv1394 = platform::dv1394;
namespace fw = platform::dv1394::firewire;

// A unit whose answers are the input's, one per transaction, until the input runs out.
class ScriptedUnit final : public dv1394::DvUnit {
  public:
    ScriptedUnit(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::string Name() const override { return "scripted"; }
    std::string Id() const override { return "scripted"; }
    dv1394::AvcStatus Transact(const std::vector<std::uint8_t>& command,
                               std::vector<std::uint8_t>* response,
                               std::chrono::milliseconds) override {
        if (at_ + 2 > size_) return dv1394::AvcStatus::kTimedOut;
        const std::uint8_t status = data_[at_];
        const std::size_t length = std::min<std::size_t>(data_[at_ + 1], size_ - at_ - 2);
        response->assign(data_ + at_ + 2, data_ + at_ + 2 + length);
        at_ += 2 + length;
        Classify(command, *response);
        switch (status % 4) {
            case 0:
                return dv1394::AvcStatus::kAnswered;
            case 1:
                return dv1394::AvcStatus::kTimedOut;
            case 2:
                return dv1394::AvcStatus::kLost;
            default:
                // A unit that claims an answer but hands back nothing at all.
                response->clear();
                return dv1394::AvcStatus::kAnswered;
        }
    }
    bool StartReceive(dv1394::FrameSink) override { return false; }
    void StopReceive() override {}
    bool StartTransmit() override { return false; }
    bool Transmit(const std::uint8_t*, std::size_t) override { return false; }
    bool DrainTransmit(std::chrono::milliseconds) override { return false; }
    void StopTransmit() override {}
    void SetLostHandler(std::function<void()>) override {}
    bool IsLost() const override { return false; }

  private:
    // The FireWire backend's view of the same bytes written to its response register.
    static void Classify(const std::vector<std::uint8_t>& command,
                         const std::vector<std::uint8_t>& response) {
        fw::ClassifyAnswer(command, response.data(), response.size());
        fw::AvcExchange exchange;
        const auto now = fw::AvcExchange::Clock::now();
        exchange.Begin(command, now, std::chrono::milliseconds(100));
        if (exchange.OnResponse(response.data(), response.size(), now) &&
            exchange.Answer().size() > dv1394::kMaxAvcFrame)
            __builtin_trap();
        if (const auto quadlets = fw::PackAvcFrame(response))
            if (const auto bytes = fw::UnpackAvcFrame(*quadlets, response.size()))
                if (*bytes != response) __builtin_trap();
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto unit = std::make_shared<ScriptedUnit>(data, size);
    platform::ComPtr<IBaseFilter> filter;
    if (FAILED(dv1394::CDvDeviceFilter::Create(unit, filter.Put()))) return 0;
    auto transport = filter.As<IAMExtTransport>();
    auto timecode = filter.As<IAMTimecodeReader>();
    if (!transport || !timecode) __builtin_trap();
    LONG value = 0;
    transport->get_Mode(&value);
    for (LONG mode : {ED_MODE_PLAY, ED_MODE_STOP, ED_MODE_FREEZE, ED_MODE_FF, ED_MODE_REW,
                      ED_MODE_RECORD, ED_MODE_STEP_FWD, ED_MODE_PLAY_FASTEST_REV})
        transport->put_Mode(mode);
    transport->GetStatus(ED_BASE + 500, &value);
    transport->GetCapability(ED_DEVCAP_DEVICE_TYPE, &value, nullptr);
    TIMECODE_SAMPLE sample{};
    timecode->GetTimecode(&sample);
    // A raw command answered in the caller's buffer, which must never receive more than it
    // holds.
    std::uint8_t buffer[dv1394::kMaxAvcFrame + 16];
    std::memset(buffer, 0xEE, sizeof buffer);
    const std::uint8_t command[] = {0x01, 0x20, 0xD0, 0x7F};
    std::memcpy(buffer, command, sizeof command);
    LONG length = sizeof command;
    if (SUCCEEDED(transport->GetTransportBasicParameters(ED_RAW_EXT_DEV_CMD, &length,
                                                         reinterpret_cast<LPOLESTR*>(buffer))) &&
        (length <= 0 || length > static_cast<LONG>(dv1394::kMaxAvcFrame)))
        __builtin_trap();
    for (std::size_t i = dv1394::kMaxAvcFrame; i < sizeof buffer; ++i)
        if (buffer[i] != 0xEE) __builtin_trap();
    return 0;
}
