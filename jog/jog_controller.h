#pragma once
// The library's state: one controller per process, opened by Open and released by Close.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

#include "jog/key_decoder.h"
#include "platform/hid/hid.h"
#include "platform/kernel/thread.h"

namespace pelko {

// An opened controller interface: a handle for reading, a second one for feature reports and
// the parsed descriptor. Released together.
class OpenController {
  public:
    OpenController(HANDLE read, HANDLE feature) : read_(read), feature_(feature) {}
    ~OpenController();
    OpenController(const OpenController&) = delete;
    OpenController& operator=(const OpenController&) = delete;

    // Takes the interface's attributes and descriptor; true for a jog controller.
    bool Check();
    // Ends the reader's waiting read; the read handle is gone afterwards.
    void CloseRead();

    HANDLE Read() const { return read_; }
    HANDLE Feature() const { return feature_; }
    PHIDP_PREPARSED_DATA Preparsed() const { return preparsed_; }
    USHORT InputLength() const { return inputLength_; }
    USHORT FeatureLength() const { return featureLength_; }

  private:
    HANDLE read_;
    HANDLE feature_;
    PHIDP_PREPARSED_DATA preparsed_ = nullptr;
    USHORT inputLength_ = 0;
    USHORT featureLength_ = 0;
};

class JogController {
  public:
    JogController() = default;
    ~JogController() { Close(); }
    JogController(const JogController&) = delete;
    JogController& operator=(const JogController&) = delete;

    bool Open(std::uint32_t window, std::uint32_t message);
    bool Close();
    bool EnableNotify(std::int32_t flag);
    bool SetLed(std::uint32_t value);

  private:
    void ReadLoop(HANDLE read, USHORT length, PHIDP_PREPARSED_DATA preparsed, std::uint32_t window,
                  std::uint32_t message);

    std::mutex mutex_;  // the caller's side: open, close, notify flag, LEDs
    std::unique_ptr<OpenController> device_;
    std::unique_ptr<platform::Thread> reader_;
    std::atomic<std::int32_t> notify_{0};
    KeyDecoder decoder_;  // the reader thread's alone; kept from one open to the next
};

// The process's one controller.
JogController& Controller();

}  // namespace pelko
