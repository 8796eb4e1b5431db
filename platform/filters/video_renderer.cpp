// Video Renderer: shows decoded RGB frames in a Qt widget, a child of the owner window the
// application names through IVideoWindow (a top-level window while it has no owner). The widget
// lives on the GUI thread and only that thread touches it: window calls made elsewhere run there
// and wait, and the streaming thread leaves each frame in a shared store and asks the GUI thread
// to repaint. The picture is scaled to the widget's size. In a process without a QApplication
// the renderer still consumes frames in time, and its window calls fail with E_FAIL.

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QPointer>
#include <QThread>
#include <QWidget>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/com/com.h"
#include "platform/filters/factory.h"
#include "platform/media/base/renderer.h"
#include "platform/user/foreign_window.h"
#include "platform/user/window.h"

namespace {

// What the streaming thread and the GUI thread share; it outlives whichever of them goes last.
// The latest picture is kept as plain bytes, not as a QImage, so that no Qt reference count is
// shared between threads: the GUI thread copies the bytes out under the lock.
struct Shared : std::enable_shared_from_this<Shared> {
    std::mutex lock;
    std::vector<uchar> pixels;  // top row first, rows of `stride` bytes
    int width = 0, height = 0, stride = 0;
    QImage::Format format = QImage::Format_BGR888;
    bool repaintPending = false;
    QPointer<QWidget> widget;  // GUI thread only
};

class VideoWidget final : public QWidget {
  public:
    explicit VideoWidget(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QImage frame;
        {
            std::lock_guard lock(shared_->lock);
            if (!shared_->pixels.empty()) {
                frame = QImage(shared_->width, shared_->height, shared_->format);
                for (int y = 0; y < shared_->height && !frame.isNull(); ++y)
                    std::memcpy(frame.scanLine(y),
                                &shared_->pixels[std::size_t(y) * shared_->stride],
                                std::size_t(shared_->stride));
            }
        }
        QPainter painter(this);
        if (frame.isNull())
            painter.fillRect(rect(), Qt::black);
        else  // scaled here, in this thread: the painter would hand big scalings to a pool
            painter.drawImage(0, 0,
                              frame.scaled(size(), Qt::IgnoreAspectRatio, Qt::FastTransformation));
    }

  private:
    std::shared_ptr<Shared> shared_;
};

bool HaveGui() {
    return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

// Runs `work` on the GUI thread and waits for it. Only with a QApplication. The hand-off goes
// through the window messages' queue; Qt's own queue carries it only in a process that has
// registered no window yet.
void OnGuiThread(const std::function<void()>& work) {
    if (platform::RunOnWindowThread(work, true)) return;
    QCoreApplication* app = QCoreApplication::instance();
    if (QThread::currentThread() == app->thread())
        work();
    else
        QMetaObject::invokeMethod(app, work, Qt::BlockingQueuedConnection);
}

// Runs `work` on the GUI thread later, without waiting. Only with a QApplication.
void LaterOnGuiThread(std::function<void()> work) {
    if (platform::RunOnWindowThread(work, false)) return;
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(work), Qt::QueuedConnection);
}

// The window's properties as the application set them.
struct WindowProps {
    HWND owner = 0;
    LONG style = LONG(WS_CHILD | WS_CLIPSIBLINGS);
    LONG styleEx = 0;
    LONG left = 0, top = 0, width = 320, height = 240;
    bool visible = false;
    bool autoShow = true;
};

class CVideoRenderer final : public CBaseRenderer, public IVideoWindow {
  public:
    explicit CVideoRenderer(IUnknown* outer);
    ~CVideoRenderer() override;
    DECLARE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** object) override;

    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT SetMediaType(const CMediaType* type) override;
    HRESULT DoRenderSample(IMediaSample* sample) override;
    // Paused, the frame the renderer holds is the one on screen.
    void OnReceiveFirstSample(IMediaSample* sample) override { DoRenderSample(sample); }
    HRESULT STDMETHODCALLTYPE Pause() override;

    // IDispatch: no type information.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }

    // IVideoWindow
    HRESULT STDMETHODCALLTYPE put_Caption(BSTR) override {
        return Change([](WindowProps&) {});
    }
    HRESULT STDMETHODCALLTYPE get_Caption(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_WindowStyle(LONG style) override {
        return Change([&](WindowProps& p) { p.style = style; });
    }
    HRESULT STDMETHODCALLTYPE get_WindowStyle(LONG* style) override {
        return Read(style, [](const WindowProps& p) { return p.style; });
    }
    HRESULT STDMETHODCALLTYPE put_WindowStyleEx(LONG style) override {
        return Change([&](WindowProps& p) { p.styleEx = style; });
    }
    HRESULT STDMETHODCALLTYPE get_WindowStyleEx(LONG* style) override {
        return Read(style, [](const WindowProps& p) { return p.styleEx; });
    }
    HRESULT STDMETHODCALLTYPE put_AutoShow(LONG autoShow) override {
        return Change([&](WindowProps& p) { p.autoShow = autoShow != OAFALSE; });
    }
    HRESULT STDMETHODCALLTYPE get_AutoShow(LONG* autoShow) override {
        return Read(autoShow, [](const WindowProps& p) { return p.autoShow ? OATRUE : OAFALSE; });
    }
    HRESULT STDMETHODCALLTYPE put_WindowState(LONG state) override {
        return Change([&](WindowProps& p) { p.visible = state != SW_HIDE; });
    }
    HRESULT STDMETHODCALLTYPE get_WindowState(LONG* state) override {
        return Read(state,
                    [](const WindowProps& p) { return LONG(p.visible ? SW_SHOW : SW_HIDE); });
    }
    HRESULT STDMETHODCALLTYPE put_BackgroundPalette(LONG) override { return CheckGui(); }
    HRESULT STDMETHODCALLTYPE get_BackgroundPalette(LONG* palette) override {
        return Read(palette, [](const WindowProps&) { return OAFALSE; });
    }
    HRESULT STDMETHODCALLTYPE put_Visible(LONG visible) override {
        return Change([&](WindowProps& p) { p.visible = visible != OAFALSE; });
    }
    HRESULT STDMETHODCALLTYPE get_Visible(LONG* visible) override {
        return Read(visible, [](const WindowProps& p) { return p.visible ? OATRUE : OAFALSE; });
    }
    HRESULT STDMETHODCALLTYPE put_Left(LONG v) override {
        return Change([&](WindowProps& p) { p.left = v; });
    }
    HRESULT STDMETHODCALLTYPE get_Left(LONG* v) override {
        return Read(v, [](const WindowProps& p) { return p.left; });
    }
    HRESULT STDMETHODCALLTYPE put_Width(LONG v) override {
        return Change([&](WindowProps& p) { p.width = v; });
    }
    HRESULT STDMETHODCALLTYPE get_Width(LONG* v) override {
        return Read(v, [](const WindowProps& p) { return p.width; });
    }
    HRESULT STDMETHODCALLTYPE put_Top(LONG v) override {
        return Change([&](WindowProps& p) { p.top = v; });
    }
    HRESULT STDMETHODCALLTYPE get_Top(LONG* v) override {
        return Read(v, [](const WindowProps& p) { return p.top; });
    }
    HRESULT STDMETHODCALLTYPE put_Height(LONG v) override {
        return Change([&](WindowProps& p) { p.height = v; });
    }
    HRESULT STDMETHODCALLTYPE get_Height(LONG* v) override {
        return Read(v, [](const WindowProps& p) { return p.height; });
    }
    HRESULT STDMETHODCALLTYPE put_Owner(OAHWND owner) override {
        return Change([&](WindowProps& p) { p.owner = HWND(owner); });
    }
    HRESULT STDMETHODCALLTYPE get_Owner(OAHWND* owner) override {
        return Read(owner, [](const WindowProps& p) { return OAHWND(p.owner); });
    }
    HRESULT STDMETHODCALLTYPE put_MessageDrain(OAHWND) override { return CheckGui(); }
    HRESULT STDMETHODCALLTYPE get_MessageDrain(OAHWND* drain) override {
        return Read(drain, [](const WindowProps&) { return OAHWND(0); });
    }
    HRESULT STDMETHODCALLTYPE get_BorderColor(LONG* color) override {
        return Read(color, [](const WindowProps&) { return LONG(0); });
    }
    HRESULT STDMETHODCALLTYPE put_BorderColor(LONG) override { return CheckGui(); }
    HRESULT STDMETHODCALLTYPE get_FullScreenMode(LONG* mode) override {
        return Read(mode, [](const WindowProps&) { return OAFALSE; });
    }
    HRESULT STDMETHODCALLTYPE put_FullScreenMode(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetWindowForeground(LONG) override { return CheckGui(); }
    HRESULT STDMETHODCALLTYPE NotifyOwnerMessage(OAHWND, LONG, LONG_PTR, LONG_PTR) override {
        return CheckGui();
    }
    HRESULT STDMETHODCALLTYPE SetWindowPosition(LONG left, LONG top, LONG width,
                                                LONG height) override {
        if (width < 0 || height < 0) return E_INVALIDARG;
        return Change([&](WindowProps& p) {
            p.left = left;
            p.top = top;
            p.width = width;
            p.height = height;
        });
    }
    HRESULT STDMETHODCALLTYPE GetWindowPosition(LONG* left, LONG* top, LONG* width,
                                                LONG* height) override;
    HRESULT STDMETHODCALLTYPE GetMinIdealImageSize(LONG* width, LONG* height) override {
        return IdealSize(width, height);
    }
    HRESULT STDMETHODCALLTYPE GetMaxIdealImageSize(LONG* width, LONG* height) override {
        return IdealSize(width, height);
    }
    HRESULT STDMETHODCALLTYPE GetRestorePosition(LONG* left, LONG* top, LONG* width,
                                                 LONG* height) override {
        return GetWindowPosition(left, top, width, height);
    }
    HRESULT STDMETHODCALLTYPE HideCursor(LONG) override { return CheckGui(); }
    HRESULT STDMETHODCALLTYPE IsCursorHidden(LONG* hidden) override {
        return Read(hidden, [](const WindowProps&) { return OAFALSE; });
    }

  private:
    HRESULT CheckGui() const { return HaveGui() ? S_OK : E_FAIL; }
    template <typename Edit>
    HRESULT Change(Edit edit) {
        if (!HaveGui()) return E_FAIL;
        WindowProps now;
        {
            std::lock_guard lock(propsLock_);
            edit(props_);
            now = props_;
        }
        OnGuiThread([&] { Apply(*shared_, now); });  // waited for with no lock held
        return S_OK;
    }
    template <typename T, typename Get>
    HRESULT Read(T* out, Get get) {
        if (!out) return E_POINTER;
        if (!HaveGui()) return E_FAIL;
        std::lock_guard lock(propsLock_);
        *out = get(props_);
        return S_OK;
    }
    HRESULT IdealSize(LONG* width, LONG* height);
    static void Apply(Shared& shared, const WindowProps& props);  // GUI thread
    void RequestRepaint();

    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    std::mutex propsLock_;
    WindowProps props_;
    // The connected format, under the streaming lock of the base (set while stopped).
    LONG width_ = 0, height_ = 0, stride_ = 0;
    int bits_ = 0;
    bool bottomUp_ = true;
};

CVideoRenderer::CVideoRenderer(IUnknown* outer)
    : CBaseRenderer(CLSID_VideoRenderer, "video renderer", outer, nullptr, u"Input") {}

CVideoRenderer::~CVideoRenderer() {
    if (!HaveGui()) return;
    auto shared = shared_;
    auto destroy = [shared] { delete shared->widget.data(); };
    QCoreApplication* app = QCoreApplication::instance();
    if (QThread::currentThread() == app->thread())
        destroy();
    else
        LaterOnGuiThread(destroy);
}

HRESULT CVideoRenderer::NonDelegatingQueryInterface(REFIID iid, void** object) {
    if (iid == IID_IVideoWindow) return GetInterface(static_cast<IVideoWindow*>(this), object);
    return CBaseRenderer::NonDelegatingQueryInterface(iid, object);
}

HRESULT CVideoRenderer::CheckMediaType(const CMediaType* type) {
    if (*type->Type() != MEDIATYPE_Video || *type->FormatType() != FORMAT_VideoInfo ||
        type->FormatLength() < sizeof(VIDEOINFOHEADER))
        return VFW_E_TYPE_NOT_ACCEPTED;
    const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(type->Format());
    const auto& bmi = vih->bmiHeader;
    bool rgb24 = *type->Subtype() == MEDIASUBTYPE_RGB24 && bmi.biBitCount == 24;
    bool rgb32 = *type->Subtype() == MEDIASUBTYPE_RGB32 && bmi.biBitCount == 32;
    if (!(rgb24 || rgb32) || bmi.biWidth <= 0 || bmi.biWidth > 8192 || bmi.biHeight == 0 ||
        std::abs(bmi.biHeight) > 8192)
        return VFW_E_TYPE_NOT_ACCEPTED;
    return S_OK;
}

HRESULT CVideoRenderer::SetMediaType(const CMediaType* type) {
    const auto& bmi = reinterpret_cast<const VIDEOINFOHEADER*>(type->Format())->bmiHeader;
    CAutoLock lock(&m_RendererLock);
    width_ = bmi.biWidth;
    height_ = std::abs(bmi.biHeight);
    bottomUp_ = bmi.biHeight > 0;
    bits_ = bmi.biBitCount;
    stride_ = ((width_ * bits_ / 8) + 3) & ~3;
    return S_OK;
}

HRESULT CVideoRenderer::DoRenderSample(IMediaSample* sample) {
    BYTE* data = nullptr;
    if (FAILED(sample->GetPointer(&data)) || !data) return S_OK;
    if (LONGLONG(sample->GetActualDataLength()) < LONGLONG(stride_) * height_ || width_ <= 0)
        return S_OK;  // a short frame is skipped, not read past its end
    const std::size_t rowBytes = std::size_t(width_) * std::size_t(bits_ / 8);
    std::vector<uchar> pixels;
    try {
        pixels.resize(rowBytes * std::size_t(height_));
    } catch (const std::bad_alloc&) {
        return S_OK;  // this frame is not shown
    }
    for (LONG y = 0; y < height_; ++y) {
        const BYTE* row = data + std::size_t(bottomUp_ ? height_ - 1 - y : y) * stride_;
        std::memcpy(&pixels[std::size_t(y) * rowBytes], row, rowBytes);
    }
    {
        std::lock_guard lock(shared_->lock);
        shared_->pixels.swap(pixels);
        shared_->width = width_;
        shared_->height = height_;
        shared_->stride = int(rowBytes);
        shared_->format = bits_ == 24 ? QImage::Format_BGR888 : QImage::Format_RGB32;
    }
    RequestRepaint();
    return S_OK;
}

// Asks the GUI thread to repaint, at most one request outstanding.
void CVideoRenderer::RequestRepaint() {
    if (!HaveGui()) return;
    {
        std::lock_guard lock(shared_->lock);
        if (shared_->repaintPending) return;
        shared_->repaintPending = true;
    }
    LaterOnGuiThread([shared = shared_] {
        {
            std::lock_guard lock(shared->lock);
            shared->repaintPending = false;
        }
        if (shared->widget) shared->widget->update();
    });
}

HRESULT CVideoRenderer::Pause() {
    bool show = false;
    WindowProps now;
    if (IsStopped() && HaveGui()) {
        std::lock_guard lock(propsLock_);
        show = props_.autoShow && !props_.visible;
        if (show) props_.visible = true;
        now = props_;
    }
    HRESULT hr = CBaseRenderer::Pause();
    if (show) {
        // Not waited for: the caller may hold locks that the GUI thread needs.
        LaterOnGuiThread([shared = shared_, now] { Apply(*shared, now); });
    }
    return hr;
}

void CVideoRenderer::Apply(Shared& shared, const WindowProps& p) {
    QWidget* owner = p.owner ? platform::WidgetFromHwnd(p.owner) : nullptr;
    QWidget* widget = shared.widget;
    if (!widget) {
        widget = new VideoWidget(shared.shared_from_this());
        shared.widget = widget;
    }
    platform::SetWindowOwner(widget, owner);
    widget->setGeometry(p.left, p.top, std::max<LONG>(p.width, 0), std::max<LONG>(p.height, 0));
    widget->setVisible(p.visible);
    widget->update();
}

HRESULT CVideoRenderer::GetWindowPosition(LONG* left, LONG* top, LONG* width, LONG* height) {
    if (!left || !top || !width || !height) return E_POINTER;
    if (!HaveGui()) return E_FAIL;
    std::lock_guard lock(propsLock_);
    *left = props_.left;
    *top = props_.top;
    *width = props_.width;
    *height = props_.height;
    return S_OK;
}

HRESULT CVideoRenderer::IdealSize(LONG* width, LONG* height) {
    if (!width || !height) return E_POINTER;
    if (!HaveGui()) return E_FAIL;
    CAutoLock lock(&m_RendererLock);
    *width = width_;
    *height = height_;
    return S_OK;
}

platform::BuiltinClass g_videoRendererClass(CLSID_VideoRenderer,
                                            &platform::filters::CreateFilter<CVideoRenderer>);

}  // namespace
