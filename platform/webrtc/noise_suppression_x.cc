#include <webrtc/noise_suppression_x.h>

#include <cmath>
#include <cstddef>

// The floating-point suppressor exported by libwebrtc_audio_processing.
extern "C" {
typedef struct NsHandleT NsHandle;
NsHandle* WebRtcNs_Create(void);
void WebRtcNs_Free(NsHandle* NS_inst);
int WebRtcNs_Init(NsHandle* NS_inst, uint32_t fs);
int WebRtcNs_set_policy(NsHandle* NS_inst, int mode);
void WebRtcNs_Analyze(NsHandle* NS_inst, const float* spframe);
void WebRtcNs_Process(NsHandle* NS_inst, const float* const* spframe, size_t num_bands,
                      float* const* outframe);
}

namespace {
constexpr int kMaxFrame = 160;  // 10 ms at 16000 Hz
}

struct NsxHandleT {
  NsHandle* ns;
  int frame;  // samples per 10 ms frame once initialised
};

extern "C" {

NsxHandle* WebRtcNsx_Create(void) {
  NsHandle* ns = WebRtcNs_Create();
  if (ns == nullptr) return nullptr;
  return new NsxHandleT{ns, 0};
}

void WebRtcNsx_Free(NsxHandle* nsxInst) {
  if (nsxInst == nullptr) return;
  WebRtcNs_Free(nsxInst->ns);
  delete nsxInst;
}

int WebRtcNsx_Init(NsxHandle* nsxInst, uint32_t fs) {
  if (nsxInst == nullptr) return -1;
  if (fs != 8000 && fs != 16000) return -1;
  if (WebRtcNs_Init(nsxInst->ns, fs) != 0) return -1;
  nsxInst->frame = static_cast<int>(fs / 100);
  return 0;
}

int WebRtcNsx_set_policy(NsxHandle* nsxInst, int mode) {
  if (nsxInst == nullptr || nsxInst->frame == 0) return -1;
  return WebRtcNs_set_policy(nsxInst->ns, mode);
}

void WebRtcNsx_Process(NsxHandle* nsxInst, const short* const* speechFrame, int num_bands,
                       short* const* outFrame) {
  if (nsxInst == nullptr || nsxInst->frame == 0 || speechFrame == nullptr || outFrame == nullptr ||
      num_bands != 1 || speechFrame[0] == nullptr || outFrame[0] == nullptr) {
    return;
  }
  const int n = nsxInst->frame;
  float in[kMaxFrame] = {};
  float out[kMaxFrame] = {};
  for (int i = 0; i < n; ++i) in[i] = static_cast<float>(speechFrame[0][i]);
  const float* in_bands[1] = {in};
  float* out_bands[1] = {out};
  WebRtcNs_Analyze(nsxInst->ns, in);
  WebRtcNs_Process(nsxInst->ns, in_bands, 1, out_bands);
  for (int i = 0; i < n; ++i) {
    float v = std::isnan(out[i]) ? 0.0f : std::nearbyint(out[i]);
    if (v > 32767.0f) v = 32767.0f;
    if (v < -32768.0f) v = -32768.0f;
    outFrame[0][i] = static_cast<short>(v);
  }
}
}
