// The bus as the machine's FireWire stack gives it: libraw1394 handles, librom1394 and
// libavc1394 for configuration ROMs and SUBUNIT INFO, libiec61883 for plugs and DV streams.

#include <libavc1394/avc1394.h>
#include <libavc1394/rom1394.h>
#include <libiec61883/iec61883.h>
#include <libraw1394/raw1394.h>

#include <algorithm>
#include <array>
#include <mutex>

#include "platform/dv1394/firewire/bus_access.h"

namespace platform::dv1394::firewire {
namespace {

constexpr nodeaddr_t kFcpCommandRegister = 0xFFFFF0000B00ULL;
constexpr int kMaxPorts = 16;

class LibraryDvIso final : public DvIso {
  public:
    LibraryDvIso(iec61883_dv_t dv, bool receive) : dv_(dv), receive_(receive) {}
    ~LibraryDvIso() override {
        Stop();
        iec61883_dv_close(dv_);
    }
    bool Start(int channel) override {
        started_ = (receive_ ? iec61883_dv_recv_start(dv_, channel)
                             : iec61883_dv_xmit_start(dv_, channel)) == 0;
        return started_;
    }
    void Stop() override {
        if (!started_) return;
        started_ = false;
        if (receive_) {
            iec61883_dv_recv_stop(dv_);
        } else {
            iec61883_dv_xmit_stop(dv_);
        }
    }

  private:
    iec61883_dv_t dv_;
    bool receive_;
    bool started_ = false;
};

// The callbacks of one stream, kept where the library's C callbacks can reach them.
struct DvCallbacks {
    DvReceiveCallback receive;
    DvTransmitCallback transmit;
};

class LibraryPortHandle final : public PortHandle {
  public:
    explicit LibraryPortHandle(raw1394handle_t handle) : handle_(handle) {
        raw1394_set_userdata(handle_, this);
        raw1394_set_bus_reset_handler(handle_, &LibraryPortHandle::OnBusReset);
        request_.callback = &LibraryPortHandle::OnWriteDone;
        request_.data = this;
    }
    ~LibraryPortHandle() override {
        streams_.clear();
        if (listening_) raw1394_stop_fcp_listen(handle_);
        raw1394_destroy_handle(handle_);
    }

    int EventFd() override { return raw1394_get_fd(handle_); }
    int Iterate() override { return raw1394_loop_iterate(handle_); }
    NodeId LocalId() override { return raw1394_get_local_id(handle_); }
    int NodeCount() override { return raw1394_get_nodecount(handle_); }
    void SetBusResetHandler(ResetHandler handler) override { on_reset_ = std::move(handler); }

    std::optional<RomInfo> ReadRom(NodeId node) override {
        rom1394_directory dir{};
        if (rom1394_get_directory(handle_, node, &dir) < 0) return std::nullopt;
        RomInfo info;
        info.guid = rom1394_get_guid(handle_, node);
        info.avc = rom1394_get_node_type(&dir) == ROM1394_NODE_TYPE_AVC;
        info.vendor_id = dir.vendor_id;
        info.model_id = dir.model_id;
        if (dir.nr_textual_leafs > 0 && dir.textual_leafs[0] != nullptr)
            info.vendor = dir.textual_leafs[0];
        if (dir.label != nullptr) info.label = dir.label;
        rom1394_free_directory(&dir);
        return info;
    }
    bool HasTapeSubunit(NodeId node) override {
        return avc1394_check_subunit_type(handle_, node, AVC1394_SUBUNIT_TYPE_VCR) == 1;
    }

    bool StartFcpListen(FcpHandler handler) override {
        on_fcp_ = std::move(handler);
        raw1394_set_fcp_handler(handle_, &LibraryPortHandle::OnFcp);
        listening_ = raw1394_start_fcp_listen(handle_) == 0;
        return listening_;
    }
    void StopFcpListen() override {
        if (listening_) raw1394_stop_fcp_listen(handle_);
        listening_ = false;
        raw1394_set_fcp_handler(handle_, nullptr);
        on_fcp_ = nullptr;
    }
    bool WriteFcpCommand(NodeId node, const std::vector<std::uint32_t>& bus_order,
                         WriteDone done) override {
        // The kernel reads the data when the request completes: it stays with the handle.
        write_data_ = bus_order;
        on_write_ = std::move(done);
        const auto tag = reinterpret_cast<unsigned long>(&request_);
        return raw1394_start_write(handle_, node, kFcpCommandRegister, write_data_.size() * 4,
                                   write_data_.data(), tag) >= 0;
    }

    int CmpConnect(NodeId output, int* oplug, NodeId input, int* iplug, int* bandwidth) override {
        return iec61883_cmp_connect(handle_, output, oplug, input, iplug, bandwidth);
    }
    int CmpReconnect(NodeId output, int* oplug, NodeId input, int* iplug, int* bandwidth,
                     int channel) override {
        return iec61883_cmp_reconnect(handle_, output, oplug, input, iplug, bandwidth, channel);
    }
    int CmpDisconnect(NodeId output, int oplug, NodeId input, int iplug, int channel,
                      int bandwidth) override {
        return iec61883_cmp_disconnect(handle_, output, oplug, input, iplug,
                                       static_cast<unsigned>(channel),
                                       static_cast<unsigned>(bandwidth));
    }

    std::unique_ptr<DvIso> DvReceiver(DvReceiveCallback callback) override {
        auto& slot = streams_.emplace_back(std::make_unique<DvCallbacks>());
        slot->receive = std::move(callback);
        iec61883_dv_t dv =
            iec61883_dv_recv_init(handle_, &LibraryPortHandle::OnReceive, slot.get());
        if (dv == nullptr) return nullptr;
        return std::make_unique<LibraryDvIso>(dv, true);
    }
    std::unique_ptr<DvIso> DvTransmitter(bool pal, DvTransmitCallback callback) override {
        auto& slot = streams_.emplace_back(std::make_unique<DvCallbacks>());
        slot->transmit = std::move(callback);
        iec61883_dv_t dv =
            iec61883_dv_xmit_init(handle_, pal ? 1 : 0, &LibraryPortHandle::OnTransmit, slot.get());
        if (dv == nullptr) return nullptr;
        return std::make_unique<LibraryDvIso>(dv, false);
    }

  private:
    static LibraryPortHandle* Of(raw1394handle_t handle) {
        return static_cast<LibraryPortHandle*>(raw1394_get_userdata(handle));
    }
    static int OnBusReset(raw1394handle_t handle, unsigned int generation) {
        raw1394_update_generation(handle, generation);
        auto* self = Of(handle);
        if (self != nullptr && self->on_reset_) self->on_reset_(generation);
        return 0;
    }
    static int OnFcp(raw1394handle_t handle, nodeid_t from, int response, size_t length,
                     unsigned char* data) {
        auto* self = Of(handle);
        if (self != nullptr && self->on_fcp_) self->on_fcp_(from, response != 0, data, length);
        return 0;
    }
    static int OnWriteDone(raw1394handle_t, void* data, raw1394_errcode_t error) {
        auto* self = static_cast<LibraryPortHandle*>(data);
        const bool completed =
            !raw1394_internal_err(error) && raw1394_get_rcode(error) == RAW1394_RCODE_COMPLETE;
        if (self->on_write_) self->on_write_(completed);
        return 0;
    }
    static int OnReceive(unsigned char* data, int len, unsigned int dropped, void* slot) {
        if (data == nullptr || len < 0) return 0;
        static_cast<DvCallbacks*>(slot)->receive(data, static_cast<std::size_t>(len), dropped);
        return 0;
    }
    static int OnTransmit(unsigned char* data, int n_dif_blocks, unsigned int, void* slot) {
        if (data == nullptr || n_dif_blocks <= 0) return 0;
        static_cast<DvCallbacks*>(slot)->transmit(data, static_cast<std::size_t>(n_dif_blocks));
        return 0;
    }

    raw1394handle_t handle_;
    raw1394_reqhandle request_{};
    std::vector<quadlet_t> write_data_;
    WriteDone on_write_;
    FcpHandler on_fcp_;
    ResetHandler on_reset_;
    bool listening_ = false;
    std::vector<std::unique_ptr<DvCallbacks>> streams_;
};

class LibraryBusAccess final : public BusAccess {
  public:
    int PortCount() override {
        raw1394handle_t probe = raw1394_new_handle();
        if (probe == nullptr) return 0;
        std::array<raw1394_portinfo, kMaxPorts> ports{};
        const int count = raw1394_get_port_info(probe, ports.data(), kMaxPorts);
        raw1394_destroy_handle(probe);
        return count < 0 ? 0 : std::min(count, kMaxPorts);
    }
    std::unique_ptr<PortHandle> Open(int port) override {
        raw1394handle_t handle = raw1394_new_handle_on_port(port);
        if (handle == nullptr) return nullptr;
        return std::make_unique<LibraryPortHandle>(handle);
    }
};

std::mutex g_bus_mutex;
std::shared_ptr<BusAccess> g_installed;

}  // namespace

std::shared_ptr<BusAccess> LibraryBus() {
    static const auto bus = std::make_shared<LibraryBusAccess>();
    return bus;
}

std::shared_ptr<BusAccess> InstalledBus() {
    std::lock_guard lock(g_bus_mutex);
    return g_installed ? g_installed : LibraryBus();
}

void InstallBus(std::shared_ptr<BusAccess> bus) {
    std::lock_guard lock(g_bus_mutex);
    g_installed = std::move(bus);
}

}  // namespace platform::dv1394::firewire
