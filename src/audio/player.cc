#include "audio/player.h"

#include <cstring>

#include "audio/aec.h"
#include "audio/factory.h"
#include "audio/recorder.h"
#include "sonora/body.h"
#include "utils/commons.h"
#include "utils/log.h"

namespace sonora {
namespace audio {

namespace {

// Scales `n` bytes of little-endian 16-bit samples by `gain`, saturating.
void scale_s16(byte* data, size_t n, float gain) {
  for (size_t i = 0; i + 1 < n; i += 2) {
    int16_t v = static_cast<int16_t>(static_cast<uint16_t>(data[i]) |
                                     static_cast<uint16_t>(data[i + 1] << 8));
    float s = static_cast<float>(v) * gain;
    int32_t out;
    if (!(s == s)) {
      out = 0;
    } else if (s >= 32767.0f) {
      out = 32767;
    } else if (s <= -32768.0f) {
      out = -32768;
    } else {
      out = static_cast<int32_t>(s < 0 ? s - 0.5f : s + 0.5f);
    }
    uint16_t u = static_cast<uint16_t>(static_cast<int16_t>(out));
    data[i] = static_cast<byte>(u & 0xff);
    data[i + 1] = static_cast<byte>(u >> 8);
  }
}

// Silence of the suit's sample format: unsigned 8-bit streams rest at 0x80, the others at 0.
int silence_byte(const Suit* suit) {
  return suit != nullptr && suit->bit_per_channel == 8 ? 0x80 : 0;
}

}  // namespace

Player::Player()
    : mute_value_(kMSigned),
      ts_(new TSSuit()),
      parent_(nullptr),
      fwrapper_(nullptr),
      queue_(nullptr),
      is_stopping_(false),
      buffer_left_to_wait_(0),
      play_file_(nullptr),
      gain_(1.0f),
      is_mute_(false),
      is_paused_(true),
      is_working_(false),
      mutex_(new pthread_mutex_t),
      ns_(nullptr),
      pile_(nullptr),
      render_mutex_(new pthread_mutex_t),
      clean_epoch_(0),
      auto_stop_reported_(false) {
  pthread_mutex_init(mutex_, nullptr);
  pthread_mutex_init(render_mutex_, nullptr);
}

Player::~Player() {
  delete pile_;
  pile_ = nullptr;
  delete queue_;
  queue_ = nullptr;
  delete fwrapper_;
  fwrapper_ = nullptr;
  delete ns_;  // normally released by stop; a player destroyed unstopped must not leak it
  ns_ = nullptr;
  pthread_mutex_destroy(mutex_);
  delete mutex_;
  mutex_ = nullptr;
  pthread_mutex_destroy(render_mutex_);
  delete render_mutex_;
  render_mutex_ = nullptr;
  delete ts_;
  ts_ = nullptr;
}

const Suit* Player::suit() const {
  Body* body = parent_.load();
  if (body == nullptr || body->suit_ == nullptr) return nullptr;
  return body->suit_->audio();
}

bool Player::start(const Body* player) {
  if (is_working()) return false;
  if (player == nullptr || player->suit_ == nullptr || player->suit_->audio() == nullptr) {
    SLOG("Player::start refused: no audio suit\n");
    return false;
  }
  const Suit* suit = player->suit_->audio();
  if (!suit_has_valid_block(suit)) {
    SLOG("Player::start refused: block %zu does not fit %d Hz, %d bits\n", suit->block,
         suit->sample_rate, suit->bit_per_channel);
    return false;
  }
  delete ns_;
  ns_ = Factory::gen_ns(suit);
  delete pile_;
  pile_ = new utils::PileBuffer(suit->block, this, pile_play, nullptr);
  if (queue_ == nullptr) queue_ = new utils::BlockedQueue<Frame>(delete_nothing);
  delete fwrapper_;
  fwrapper_ = new FrameWrapper(kPlayerBuddyLevel, suit->block);
  is_stopping_ = false;
  auto_stop_reported_ = false;
  buffer_left_to_wait_ = suit->buffer_frame_count;
  set_work(true);
  return Player::resume();
}

bool Player::stop() {
  if (!is_working()) return false;
  Player::pause();
  bool result = set_work(false);
  delete pile_;
  pile_ = nullptr;
  pthread_mutex_lock(render_mutex_);
  FrameWrapper* pool = fwrapper_;
  fwrapper_ = nullptr;
  pthread_mutex_unlock(render_mutex_);
  delete pool;
  delete ns_;
  ns_ = nullptr;
  return result;
}

bool Player::pause() {
  if (!is_working()) return false;
  set_pause(true);
  clean();
  return true;
}

bool Player::resume() {
  if (!is_working()) return false;
  clean();
  ts_->period = 0;
  ts_->sts = 0;
  ts_->tid = 0;
  set_pause(false);
  return true;
}

bool Player::set_volume(float gain) {
  if (mutex_ == nullptr) return true;
  pthread_mutex_lock(mutex_);
  gain_ = gain;
  pthread_mutex_unlock(mutex_);
  return true;
}

float Player::get_volume() {
  if (mutex_ == nullptr) return 1.0f;
  pthread_mutex_lock(mutex_);
  float gain = gain_;
  pthread_mutex_unlock(mutex_);
  return gain;
}

size_t Player::outstanding() {
  pthread_mutex_lock(render_mutex_);
  size_t n = fwrapper_ != nullptr ? fwrapper_->size() : 0;
  pthread_mutex_unlock(render_mutex_);
  return n;
}

bool Player::append(const byte* data, size_t size, const TSSuit* ts) {
  const Suit* suit = this->suit();
  if (suit == nullptr) return false;
  if (mutex_ == nullptr) return false;
  pthread_mutex_lock(mutex_);
  const bool refused = is_mute_ || is_paused_;  // one look at both flags
  pthread_mutex_unlock(mutex_);
  if (refused) return false;
  size_t outstanding = this->outstanding();
  if (outstanding >= suit->append_jump_shreshold_size) return false;
  if (pile_ == nullptr || suit->block == 0) return false;
  switch (suit->type) {
    case kTypeAMR:
      if (size != kCSizeAMR) return false;
      break;
    case kType711ALaw:
    case kType711muLaw:
      if (size != kCSize711) return false;
      break;
    case kType729:
      if (size != kCSize729) return false;
      break;
    case kTypeRawPCM:
      break;
    default:
      return false;
  }
  // A chunk that would complete more blocks than the pool has free slots would lose blocks inside
  // the pile callback; refuse it whole instead, so the caller knows.
  size_t pool_slots = static_cast<size_t>(1) << kPlayerBuddyLevel;
  size_t blocks = size / suit->block + 1;
  if (outstanding + blocks > pool_slots) return false;
  return pile_->append(data, size, ts);
}

void Player::flush() {
  if (!is_working() || pile_ == nullptr) return;
  pile_->flush(nullptr);
}

void Player::mute_delay(size_t ms) {
  if (queue_ == nullptr) return;
  set_mute(true);
  clean();
  msleep(ms);
  set_mute(false);
}

size_t Player::left() {
  return queue_ != nullptr ? queue_->left() : 0;
}

void Player::clean() {
  pthread_mutex_lock(render_mutex_);
  if (queue_ != nullptr) queue_->clean();
  if (fwrapper_ != nullptr) fwrapper_->clean();
  ++clean_epoch_;
  pthread_mutex_unlock(render_mutex_);
}

bool Player::read_flag(const bool* flag) {
  if (mutex_ == nullptr) return false;
  pthread_mutex_lock(mutex_);
  bool v = *flag;
  pthread_mutex_unlock(mutex_);
  return v;
}

bool Player::write_flag(bool* flag, bool value) {
  if (mutex_ == nullptr) return false;
  pthread_mutex_lock(mutex_);
  *flag = value;
  pthread_mutex_unlock(mutex_);
  return true;
}

bool Player::is_working() {
  return read_flag(&is_working_);
}
bool Player::is_paused() {
  return read_flag(&is_paused_);
}
bool Player::is_mute() {
  return read_flag(&is_mute_);
}
bool Player::set_work(bool working) {
  return write_flag(&is_working_, working);
}
bool Player::set_pause(bool paused) {
  return write_flag(&is_paused_, paused);
}
bool Player::set_mute(bool mute) {
  return write_flag(&is_mute_, mute);
}

byte* pile_play(const byte* data, size_t capacity, void* user, const void* additional) {
  if (data == nullptr || capacity == 0 || user == nullptr) return nullptr;
  Player* player = static_cast<Player*>(user);
  if (player->is_paused()) return nullptr;
  const TSSuit* ts = static_cast<const TSSuit*>(additional);

  pthread_mutex_lock(player->render_mutex_);
  uint64_t epoch = player->clean_epoch_;
  Frame* frame = player->fwrapper_ != nullptr
                     ? player->fwrapper_->gen_frame(kFTypeA, data, capacity, ts)
                     : nullptr;
  pthread_mutex_unlock(player->render_mutex_);
  if (frame == nullptr) {
    SLOG("pile callback null data!\n");
    return nullptr;
  }

  const Suit* suit = player->suit();
  if (suit != nullptr && suit->channel_per_frame == 1 && suit->bit_per_channel == 16 &&
      suit->enable_ns && player->ns_ != nullptr) {
    player->ns_->ns(frame);
  }

  pthread_mutex_lock(player->render_mutex_);
  // A clean() since the frame was made has already returned its slot to the pool: the block is
  // part of what was cleaned and must not be queued.
  if (epoch == player->clean_epoch_ && player->queue_ != nullptr) player->queue_->offer(frame);
  pthread_mutex_unlock(player->render_mutex_);
  return nullptr;
}

int32_t Player::render(void* buffer, int32_t length) {
  Body* body = parent_.load();
  const Suit* suit = (body != nullptr && body->suit_ != nullptr) ? body->suit_->audio() : nullptr;
  const int silence = silence_byte(suit);
  const size_t request = (buffer != nullptr && length > 0) ? static_cast<size_t>(length) : 0;
  if (suit == nullptr) {
    if (request > 0) std::memset(buffer, silence, request);
    return -1;
  }
  // One look at the flags and the gain per request.
  bool working = false;
  bool paused = true;
  float gain = 1.0f;
  if (mutex_ != nullptr) {
    pthread_mutex_lock(mutex_);
    working = is_working_;
    paused = is_paused_;
    gain = gain_;
    pthread_mutex_unlock(mutex_);
  }
  if (!working || paused) {
    if (request > 0) std::memset(buffer, silence, request);
    return 0;
  }

  ts_->ts = current_ts() - static_cast<uint64_t>(static_cast<int64_t>(suit->delayed_per_block));
  if (ts_->tid == static_cast<uint64_t>(static_cast<int64_t>(suit->buffer_frame_count)) &&
      ts_->sts == 0) {
    ts_->tid = 0;
    ts_->sts = ts_->ts;
    SLOG("play sts: %lu / %zu", static_cast<unsigned long>(ts_->sts), left());
  }
  ts_->tid += 1;

  if (is_stopping_) {
    buffer_left_to_wait_ -= 1;
    if (buffer_left_to_wait_ <= 0 && !auto_stop_reported_) {
      auto_stop_reported_ = true;
      body->report(kArg1AudioPlayerWorking, kArg2AutoStop, nullptr);
    }
    SLOG("player->is_stopping_");
    if (request > 0) std::memset(buffer, silence, request);
    return -1;
  }

  size_t n = suit->block;
  pthread_mutex_lock(render_mutex_);
  if (queue_ != nullptr && fwrapper_ != nullptr && queue_->left() > 0) {
    // Under render_mutex_ nothing else adds or removes frames, so every poll below finds one.
    Frame* frame = queue_->poll();
    const int64_t b = suit->buffer_frame_count;
    if (b < 50) {
      const int64_t q = static_cast<int64_t>(queue_->left());
      int skip = q > 3 * b ? 2 : (q > 2 * b ? 1 : 0);
      // Never skip past the last queued frame: the frame in hand is played instead.
      while (skip-- > 0 && queue_->left() > 0) {
        fwrapper_->delete_frame(frame);
        frame = queue_->poll();
      }
    }
    if (frame == nullptr) {
      pthread_mutex_unlock(render_mutex_);
      SLOG("queue polled null when not empty!");
      if (request > 0) std::memset(buffer, silence, request);
      return -1;
    }
    if (frame->size < n) n = frame->size;

    if (gain != 1.0f && suit->type == kTypeRawPCM && suit->bit_per_channel == 16) {
      scale_s16(frame->data, n, gain);
    }

    Recorder* recorder = body->audio_recorder_;
    if (recorder != nullptr && recorder->is_working() && ts_->sts != 0 &&
        suit->channel_per_frame == 1 && suit->bit_per_channel == 16 && suit->enable_aec &&
        body->aec_ != nullptr) {
      body->aec_->input(frame->data, n, ts_);
    }

    if (request > 0 && n <= request) {
      std::memcpy(buffer, frame->data, n);
      if (n < request) std::memset(static_cast<byte*>(buffer) + n, silence, request - n);
    } else if (request > 0) {
      std::memset(buffer, silence, request);  // the block does not fit: returned unplayed
    }
    fwrapper_->delete_frame(frame);
    pthread_mutex_unlock(render_mutex_);
    return 0;
  }
  pthread_mutex_unlock(render_mutex_);

  // Underrun: the request is silence, never stale data.
  if (request > 0) std::memset(buffer, silence, request);
  PlaySuit* play = body->suit_;
  if (play != nullptr && play->type() == kPTypeAutoStop) {
    is_stopping_ = true;
    buffer_left_to_wait_ -= 1;
    SLOG("buffer_left_to_wait_:%d, time:%lld", buffer_left_to_wait_,
         static_cast<long long>(current_ts()));
    if (buffer_left_to_wait_ <= 0 && !auto_stop_reported_) {
      auto_stop_reported_ = true;
      body->report(kArg1AudioPlayerWorking, kArg2AutoStop, nullptr);
    }
    return -1;
  }
  return 0;
}

}  // namespace audio
}  // namespace sonora
