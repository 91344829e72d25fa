#include "audio/webrtc_ns.h"

#include <cstring>

#include "sonora/play_suit.h"
#include "utils/commons.h"
#include "utils/log.h"

namespace sonora {
namespace audio {

namespace {

void free_body(WebRtcNSBody* body) {
  if (body == nullptr) return;
  if (body->denoise != nullptr) WebRtcNsx_Free(body->denoise);
  delete[] body->buffer;
  delete[] body->scratch;
  delete body;
}

}  // namespace

WebRtcNS::WebRtcNS(const Suit* suit) : NS(suit), body_(nullptr) {
  if (suit == nullptr || suit->bit_per_channel != 16 || suit->channel_per_frame != 1 ||
      !suit->enable_ns) {
    return;
  }
  if (!suit_has_valid_block(suit)) {
    SLOG("denoise refused block %zu at %d Hz\n", suit->block, suit->sample_rate);
    return;
  }
  WebRtcNSBody* body = new WebRtcNSBody();
  body->block = suit->block;
  body->denoise = WebRtcNsx_Create();
  if (body->denoise == nullptr) {
    SLOG("denoise create failed\n");
    free_body(body);
    return;
  }
  if (WebRtcNsx_Init(body->denoise, static_cast<uint32_t>(suit->sample_rate)) != 0) {
    SLOG("denoise init failed\n");
    free_body(body);
    return;
  }
  // The suppressor works on 10 ms frames.
  body->chunk = static_cast<size_t>(suit->sample_rate / 100) * sizeof(int16_t);
  body->times = static_cast<int>(body->block / body->chunk);
  body->left = static_cast<int>(body->block % body->chunk);
  body->buffer = new byte[body->chunk]();
  body->scratch = new byte[body->chunk]();
  int mode = is_range(suit->ns_value, 0, 3) ? suit->ns_value : 1;
  WebRtcNsx_set_policy(body->denoise, mode);
  body_ = body;
}

WebRtcNS::~WebRtcNS() {
  free_body(body_);
  body_ = nullptr;
}

bool WebRtcNS::is_working() {
  return body_ != nullptr;
}

bool WebRtcNS::ns(Frame* frame) {
  if (body_ == nullptr || body_->denoise == nullptr || frame == nullptr || frame->data == nullptr) {
    return false;
  }
  const size_t chunk = body_->chunk;
  size_t size = frame->size;
  int times = body_->times;
  size_t left = static_cast<size_t>(body_->left);
  if (size != body_->block) {
    times = static_cast<int>(size / chunk);
    left = size % chunk;
  }
  byte* cursor = frame->data;
  // The suppressor reads and writes 16-bit samples; chunks are copied through aligned buffers so
  // an odd payload address is never dereferenced as int16.
  for (int i = 0; i < times; ++i) {
    std::memcpy(body_->scratch, cursor, chunk);
    const short* in[1] = {reinterpret_cast<const short*>(body_->scratch)};
    short* out[1] = {reinterpret_cast<short*>(body_->buffer)};
    WebRtcNsx_Process(body_->denoise, in, 1, out);
    std::memcpy(cursor, body_->buffer, chunk);
    cursor += chunk;
  }
  if (left > 0) {
    std::memset(body_->scratch, 0, chunk);
    std::memcpy(body_->scratch, cursor, left);
    const short* in[1] = {reinterpret_cast<const short*>(body_->scratch)};
    short* out[1] = {reinterpret_cast<short*>(body_->buffer)};
    WebRtcNsx_Process(body_->denoise, in, 1, out);
    std::memcpy(cursor, body_->buffer, left);
  }
  return true;
}

}  // namespace audio
}  // namespace sonora
