// Null Renderer: the end of a stream that nobody needs to see. It accepts any type, keeps the
// graph's timing like any renderer and drops each sample.

#include "platform/com/com.h"
#include "platform/filters/factory.h"
#include "platform/media/base/renderer.h"

namespace {

class CNullRenderer final : public CBaseRenderer {
public:
    explicit CNullRenderer(IUnknown* outer)
        : CBaseRenderer(CLSID_NullRenderer, "null renderer", outer, &result_, u"In") {}

    HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
    HRESULT DoRenderSample(IMediaSample*) override { return S_OK; }

private:
    HRESULT result_ = S_OK;
};

platform::BuiltinClass g_nullRendererClass(CLSID_NullRenderer,
                                           &platform::filters::CreateFilter<CNullRenderer>);

}  // namespace
