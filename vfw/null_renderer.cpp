// "VFW Null Render Filter": the end of the private graph. It takes video of
// any kind and lets every sample go; anything but video is refused.
#include "platform/dshow/base_filter.h"
#include "vfw/k0340vfw.h"

namespace k0340vfw {
namespace {

class NullRenderer;

class NullInput final : public qk::dshow::base::BaseInputPin {
public:
    explicit NullInput(qk::dshow::base::BaseFilter* f) : BaseInputPin(f, u"In") {}
    HRESULT CheckMediaType(const AM_MEDIA_TYPE* type) override {
        return type->majortype == MEDIATYPE_Video ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }

protected:
    HRESULT OnReceive(IMediaSample*) override { return S_OK; }
};

class NullRenderer final : public qk::dshow::base::BaseFilter {
public:
    NullRenderer() : BaseFilter(LiveObjects(), CLSID_VfwNullRenderer), input_(this) {}
    int PinCount() override { return 1; }
    qk::dshow::base::BasePin* Pin(int index) override { return index == 0 ? &input_ : nullptr; }

private:
    NullInput input_;
};

}  // namespace

HRESULT CreateNullRenderer(REFIID riid, void** ppv) {
    auto* renderer = new NullRenderer;
    HRESULT hr = renderer->QueryInterface(riid, ppv);
    renderer->Release();
    return hr;
}

}  // namespace k0340vfw
