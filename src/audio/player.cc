#include "audio/player.h"

#include <cerrno>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>

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
      ended_(false),
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
      append_mutex_(new pthread_mutex_t),
      clean_epoch_(0),
      auto_stop_reported_(false),
      played_since_start_(false),
      wait_mutex_(new pthread_mutex_t),
      wait_cond_(new pthread_cond_t),
      waits_cancelled_(false),
      current_(nullptr),
      current_offset_(0),
      stopping_silence_(0),
      stopping_blocks_(0),
      staging_(nullptr),
      staged_(0),
      staged_time_ms_(0) {
  pthread_mutex_init(mutex_, nullptr);
  pthread_mutex_init(render_mutex_, nullptr);
  pthread_mutex_init(append_mutex_, nullptr);
  pthread_mutex_init(wait_mutex_, nullptr);
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(wait_cond_, &attr);
  pthread_condattr_destroy(&attr);
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
  pthread_mutex_destroy(append_mutex_);
  delete append_mutex_;
  append_mutex_ = nullptr;
  pthread_cond_destroy(wait_cond_);
  delete wait_cond_;
  wait_cond_ = nullptr;
  pthread_mutex_destroy(wait_mutex_);
  delete wait_mutex_;
  wait_mutex_ = nullptr;
  delete ts_;
  ts_ = nullptr;
  delete[] staging_;
  staging_ = nullptr;
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
  if (const char* why = suit_stream_refusal(suit)) {
    SLOG(
        "Player::start refused: %s (%d Hz, %d channels, %d bits, block %zu, buffer_frame_count "
        "%d)\n",
        why, suit->sample_rate, suit->channel_per_frame, suit->bit_per_channel, suit->block,
        suit->buffer_frame_count);
    return false;
  }
  delete ns_;
  ns_ = Factory::gen_ns(suit);
  delete pile_;
  pile_ = new utils::PileBuffer(suit->block, this, pile_play, nullptr);
  if (queue_ == nullptr) queue_ = new utils::BlockedQueue<Frame>(delete_nothing);
  delete fwrapper_;
  fwrapper_ = new FrameWrapper(kPlayerBuddyLevel, suit->block);
  delete[] staging_;
  staging_ = new byte[suit->block]();
  staged_ = 0;
  is_stopping_.store(false);
  ended_.store(false);
  stopping_silence_ = 0;
  stopping_blocks_ = 0;
  auto_stop_reported_ = false;
  played_since_start_ = false;
  buffer_left_to_wait_ = suit->buffer_frame_count;
  pthread_mutex_lock(wait_mutex_);
  waits_cancelled_ = false;
  pthread_mutex_unlock(wait_mutex_);
  set_work(true);
  return Player::resume();
}

bool Player::stop() {
  const bool ended = ended_.exchange(false);
  if (!is_working() && !ended) return false;
  cancel_waits();
  set_pause(true);
  clean();
  bool result = set_work(false);
  pthread_mutex_lock(append_mutex_);
  delete pile_;
  pile_ = nullptr;
  pthread_mutex_unlock(append_mutex_);
  pthread_mutex_lock(render_mutex_);
  FrameWrapper* pool = fwrapper_;
  fwrapper_ = nullptr;
  current_ = nullptr;  // cleared by the pause above; its slot goes with the pool
  pthread_mutex_unlock(render_mutex_);
  delete pool;
  delete ns_;
  ns_ = nullptr;
  return result;
}

void Player::end_by_platform() {
  if (!is_working()) return;
  ended_.store(true);
  set_work(false);
  cancel_waits();
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
  if (!std::isfinite(gain)) {
    SLOG("Player::set_volume refused: gain is not a finite number\n");
    return false;
  }
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

namespace {

// Whether the suit's chunk rule accepts `size` bytes: coded types take exactly one unit, raw PCM
// any length.
bool chunk_size_accepted(const Suit* suit, size_t size) {
  switch (suit->type) {
    case kTypeAMR:
      return size == kCSizeAMR;
    case kType711ALaw:
    case kType711muLaw:
      return size == kCSize711;
    case kType729:
      return size == kCSize729;
    case kTypeRawPCM:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool Player::append(const byte* data, size_t size, const TSSuit* ts) {
  const Suit* suit = this->suit();
  if (suit == nullptr || suit->block == 0 || mutex_ == nullptr) return false;
  if (data == nullptr || size == 0) return false;
  pthread_mutex_lock(mutex_);
  const bool refused = is_mute_ || is_paused_;  // one look at both flags
  pthread_mutex_unlock(mutex_);
  if (refused || is_stopping_.load()) return false;
  if (!chunk_size_accepted(suit, size)) return false;

  pthread_mutex_lock(append_mutex_);
  bool accepted = false;
  if (pile_ != nullptr) {
    const size_t outstanding = this->outstanding();
    // Slots this chunk needs, counted without overflow (the pile holds fewer than `block` bytes,
    // and so does the remainder of the chunk): the blocks it completes, plus one for the partial
    // block it leaves in the pile, so that a later flush always finds a slot for it.
    const size_t tail = pile_->pending() + size % suit->block;
    const size_t blocks =
        size / suit->block + tail / suit->block + (tail % suit->block > 0 ? 1 : 0);
    const size_t pool_slots = static_cast<size_t>(1) << kPlayerBuddyLevel;
    // Only this thread takes slots while append_mutex_ is held; the renderer and clean() only
    // return them, so the room counted here is still there when the pile hands the blocks over.
    accepted = outstanding < suit->append_jump_shreshold_size && blocks <= pool_slots &&
               outstanding + blocks <= pool_slots && pile_->append(data, size, ts);
  }
  pthread_mutex_unlock(append_mutex_);
  return accepted;
}

void Player::flush() {
  if (!is_working()) return;
  pthread_mutex_lock(append_mutex_);
  if (pile_ != nullptr) pile_->flush(nullptr);
  pthread_mutex_unlock(append_mutex_);
}

void Player::mute_delay(size_t ms) {
  if (queue_ == nullptr) return;
  set_mute(true);
  clean();
  struct timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += static_cast<time_t>(ms / 1000);
  deadline.tv_nsec += static_cast<long>((ms % 1000) * 1000000);
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  pthread_mutex_lock(wait_mutex_);
  while (!waits_cancelled_) {
    if (pthread_cond_timedwait(wait_cond_, wait_mutex_, &deadline) == ETIMEDOUT) break;
  }
  pthread_mutex_unlock(wait_mutex_);
  set_mute(false);
}

void Player::cancel_waits() {
  pthread_mutex_lock(wait_mutex_);
  waits_cancelled_ = true;
  pthread_cond_broadcast(wait_cond_);
  pthread_mutex_unlock(wait_mutex_);
}

size_t Player::left() {
  return queue_ != nullptr ? queue_->left() : 0;
}

void Player::clean() {
  pthread_mutex_lock(render_mutex_);
  if (queue_ != nullptr) {
    counters_.cleared.fetch_add(queue_->left(), std::memory_order_relaxed);
    queue_->clean();
  }
  if (current_ != nullptr) {
    // The block being played is dropped with the rest; its slot goes back with the pool's reset.
    counters_.cleared.fetch_add(1, std::memory_order_relaxed);
    current_ = nullptr;
  }
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
  if (epoch == player->clean_epoch_ && player->queue_ != nullptr) {
    player->queue_->offer(frame);
    player->counters_.queued.fetch_add(1, std::memory_order_relaxed);
  } else {
    player->counters_.cleared.fetch_add(1, std::memory_order_relaxed);
  }
  pthread_mutex_unlock(player->render_mutex_);
  return nullptr;
}

// One renderer request of any size, in the renderer's rules:
//   1. begin: the body, the suit, one look at the flags and the gain; not working or paused
//      gives silence;
//   2. stopping: an auto-stop playback that ran dry plays silence and counts down;
//   3. fill: queued audio in order, across block boundaries (a block that does not fit is
//      carried into the next request), each block taken with catch-up thinning and track gain;
//   4. underrun: silence where the queue ran dry; an auto-stop playback that has played begins
//      to stop;
//   5. account: what the request plays is cut into blocks of the output stream; each block
//      advances the playback clock and, while capture cancels echo, goes to the canceller with
//      its own play time.
int32_t Player::render(void* buffer, int32_t length) {
  const Request req = begin_request(buffer, length);
  if (req.suit == nullptr) {
    fill_silence(req, 0);
    return -1;
  }
  if (!req.working || req.paused) {
    fill_silence(req, 0);
    return 0;
  }
  int32_t result = 0;
  if (is_stopping_.load()) {
    fill_silence(req, 0);
    count_down_stopping(req, req.bytes);
    result = -1;
  } else {
    const size_t filled = fill_from_queue(req);
    if (filled < req.bytes) result = underrun(req, filled);
  }
  account_output(req);
  return result;
}

Player::Request Player::begin_request(void* buffer, int32_t length) {
  Request req;
  req.buffer = static_cast<byte*>(buffer);
  req.bytes = (buffer != nullptr && length > 0) ? static_cast<size_t>(length) : 0;
  req.body = parent_.load();
  req.suit =
      (req.body != nullptr && req.body->suit_ != nullptr) ? req.body->suit_->audio() : nullptr;
  req.silence = silence_byte(req.suit);
  req.working = false;
  req.paused = true;
  req.gain = 1.0f;
  req.time_ms = current_ts();
  if (mutex_ != nullptr) {
    pthread_mutex_lock(mutex_);
    req.working = is_working_;
    req.paused = is_paused_;
    req.gain = gain_;
    pthread_mutex_unlock(mutex_);
  }
  return req;
}

// The request is silence from byte `from` on, never stale data.
void Player::fill_silence(const Request& req, size_t from) {
  if (from < req.bytes) std::memset(req.buffer + from, req.silence, req.bytes - from);
}

// Copies queued audio into the request from its start, block after block, until it is full or
// the queue is empty; a block only partly copied stays in hand for the next request. Returns the
// bytes filled. Runs under render_mutex_, so clean() and stop() never see a block half played.
size_t Player::fill_from_queue(const Request& req) {
  size_t filled = 0;
  pthread_mutex_lock(render_mutex_);
  while (filled < req.bytes && fwrapper_ != nullptr && queue_ != nullptr) {
    if (current_ == nullptr) {
      if (queue_->left() == 0) break;
      // Blocks this request still takes, the one taken now included: they are not backlog.
      const size_t block = req.suit->block > 0 ? req.suit->block : 1;
      const size_t needed = (req.bytes - filled + block - 1) / block;
      current_ = take_with_catch_up(*req.suit, needed);
      current_offset_ = 0;
      if (current_ == nullptr) break;
      if (req.gain != 1.0f && req.suit->type == kTypeRawPCM && req.suit->bit_per_channel == 16) {
        scale_s16(current_->data, current_->size, req.gain);
      }
    }
    const size_t n = std::min(current_->size - current_offset_, req.bytes - filled);
    if (n > 0) std::memcpy(req.buffer + filled, current_->data + current_offset_, n);
    filled += n;
    current_offset_ += n;
    if (current_offset_ >= current_->size) {
      fwrapper_->delete_frame(current_);
      current_ = nullptr;
      counters_.played.fetch_add(1, std::memory_order_relaxed);
      played_since_start_ = true;
    }
  }
  pthread_mutex_unlock(render_mutex_);
  return filled;
}

// The oldest frame; with B = buffer_frame_count below 50, a backlog beyond 3B skips two frames
// and one beyond 2B skips one. The backlog is what stays queued beyond the `needed` blocks the
// request still takes (with one block per request: everything left after this take). Never skips
// past the last queued frame. Runs under render_mutex_, so nothing else adds or removes frames
// and every poll finds one.
Frame* Player::take_with_catch_up(const Suit& suit, size_t needed) {
  Frame* frame = queue_->poll();
  const int64_t b = suit.buffer_frame_count;
  if (b < 50) {
    const int64_t q =
        static_cast<int64_t>(queue_->left()) - (static_cast<int64_t>(needed > 0 ? needed : 1) - 1);
    int skip = q > 3 * b ? 2 : (q > 2 * b ? 1 : 0);
    while (skip-- > 0 && queue_->left() > 0) {
      fwrapper_->delete_frame(frame);
      counters_.skipped.fetch_add(1, std::memory_order_relaxed);
      frame = queue_->poll();
    }
  }
  return frame;
}

// The queue ran dry after `filled` bytes: the rest is silence. An auto-stop playback ends when the
// audio it was given runs out, so the countdown begins only once something has been played since
// start.
int32_t Player::underrun(const Request& req, size_t filled) {
  counters_.underruns.fetch_add(1, std::memory_order_relaxed);
  fill_silence(req, filled);
  PlaySuit* play = req.body->suit_;
  if (play == nullptr || play->type() != kPTypeAutoStop || !played_since_start_) return 0;
  is_stopping_.store(true);
  count_down_stopping(req, req.bytes - filled);
  return -1;
}

// The wait count of a stopping playback goes down by one per block's worth of silence it has
// played since it began to stop, a part of a block counting as one (with one block per request:
// one per request, the first included). The block that brings it to 0 reports the auto-stop, once.
void Player::count_down_stopping(const Request& req, size_t silent_bytes) {
  const uint64_t block = req.suit->block;
  stopping_silence_ += silent_bytes;
  while (block > 0 && stopping_blocks_ * block < stopping_silence_) {
    ++stopping_blocks_;
    buffer_left_to_wait_ -= 1;
  }
  if (buffer_left_to_wait_ <= 0 && !auto_stop_reported_) {
    auto_stop_reported_ = true;
    req.body->report(kArg1AudioPlayerWorking, kArg2AutoStop, nullptr);
  }
}

// Cuts what the request plays into blocks of the output stream (the stream's first byte since
// start begins block 0); each completed block is clocked and offered to the echo canceller. Only
// a block that spans two requests is gathered in the staging buffer. A
// block's time is the time its first byte is played: the request's time plus the duration of the
// bytes before it in the request.
void Player::account_output(const Request& req) {
  const size_t block = req.suit->block;
  if (staging_ == nullptr || block == 0 || req.bytes == 0) return;
  const int64_t bytes_per_second = static_cast<int64_t>(req.suit->sample_rate) *
                                   req.suit->channel_per_frame * (req.suit->bit_per_channel / 8);
  size_t done = 0;
  while (done < req.bytes) {
    if (staged_ == 0) {
      const int64_t offset_ms =
          bytes_per_second > 0 ? static_cast<int64_t>(done) * 1000 / bytes_per_second : 0;
      staged_time_ms_ = req.time_ms + static_cast<uint64_t>(offset_ms);
    }
    if (staged_ == 0 && req.bytes - done >= block) {
      // A whole block inside the request is clocked and fed where it lies, without a copy.
      advance_clock(*req.suit, staged_time_ms_);
      feed_echo_reference(req, req.buffer + done, block);
      done += block;
      continue;
    }
    const size_t n = std::min(block - staged_, req.bytes - done);
    std::memcpy(staging_ + staged_, req.buffer + done, n);
    staged_ += n;
    done += n;
    if (staged_ == block) {
      staged_ = 0;
      advance_clock(*req.suit, staged_time_ms_);
      feed_echo_reference(req, staging_, block);
    }
  }
}

// One block of the output stream played from `play_ms` on: ts = its time minus one block; sts is
// fixed (and tid restarted) by the block that follows buffer_frame_count blocks since resume; tid
// counts every block.
void Player::advance_clock(const Suit& suit, uint64_t play_ms) {
  ts_->ts = play_ms - static_cast<uint64_t>(static_cast<int64_t>(suit.delayed_per_block));
  if (ts_->tid == static_cast<uint64_t>(static_cast<int64_t>(suit.buffer_frame_count)) &&
      ts_->sts == 0) {
    ts_->tid = 0;
    ts_->sts = ts_->ts;
  }
  ts_->tid += 1;
  // The stream start assumes one block per block duration. When the output fell behind (the
  // renderer was paused, or stalled), the blocks' times sts + (tid - 1) x block would lag the
  // real time of play and the echo canceller would find no far-end block that lines up; the
  // start moves forward so that this block's time is its real one. A request can come late but
  // never early: a block whose time lies before its label shows that the start was taken from a
  // late request, and the start moves back to it.
  const uint64_t per_block = static_cast<uint64_t>(static_cast<int64_t>(suit.delayed_per_block));
  if (ts_->sts != 0 && per_block > 0) {
    const uint64_t label = ts_->sts + (ts_->tid - 1) * per_block;
    if (ts_->ts > label + 2 * per_block || ts_->ts < label) {
      ts_->sts = ts_->ts - (ts_->tid - 1) * per_block;
    }
  }
}

// While capture runs on a mono 16-bit suit with echo cancellation, each block the renderer plays
// (audio or silence) goes to the canceller with the playback clock, once the stream start is
// fixed, so that the canceller's far end stays continuous and the echo of the last audio played
// is still cancelled after the queue runs dry.
void Player::feed_echo_reference(const Request& req, const byte* data, size_t n) {
  const Suit& suit = *req.suit;
  Recorder* recorder = req.body->audio_recorder_.load();
  if (recorder != nullptr && recorder->is_working() && ts_->sts != 0 &&
      suit.channel_per_frame == 1 && suit.bit_per_channel == 16 && suit.enable_aec &&
      req.body->aec_ != nullptr) {
    req.body->aec_->input(data, n, ts_);
  }
}

}  // namespace audio
}  // namespace sonora
