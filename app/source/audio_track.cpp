#include "source/audio_track.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace {

// Seconds of samples kept before the latest request, so that a script that
// reads a little way back finds them.
constexpr int64_t kKeepSeconds = 4;
// A request further than this beyond the samples decoded seeks instead of
// decoding its way there.
constexpr int64_t kSeekAheadSeconds = 4;
// A start offset against the video beyond this is taken for a broken stamp.
constexpr double kMaxOffsetSeconds = 3600;
// After a seek the decoder settles over this part of a second of samples
// (whole frames of overlapping transforms, a reservoir of bits), and the
// conversion of rates over another, its filter reaching a few hundred
// samples either way; neither is handed out.
constexpr int32_t kSettleDivisor = 8;
constexpr int32_t kFilterSettleDivisor = 16;
constexpr int64_t kMinFilterSettle = 256;
// Seeks that land later than asked are tried again this many times, each
// reaching four times as far back, before the stream is read from its start.
constexpr int kSeekAttempts = 4;

// The length that every decoded frame of the stream (but the first and the
// last) is a whole multiple of, or 0 when it is not known.
int64_t FrameGrid(const AVCodecParameters* par, int32_t decoded_rate) {
    if (par->frame_size > 0) return par->frame_size;
    switch (par->codec_id) {
        case AV_CODEC_ID_AC3:
            return 1536;
        case AV_CODEC_ID_EAC3:
            return 256;  // one to six blocks of 256
        case AV_CODEC_ID_OPUS:
            return decoded_rate / 400;  // frames of 2.5 ms and multiples of it
        case AV_CODEC_ID_FLAC: {
            // A fixed block size: STREAMINFO's smallest and largest agree.
            const uint8_t* info = par->extradata;
            int size = par->extradata_size;
            if (size >= 42 && std::memcmp(info, "fLaC", 4) == 0) info += 8, size -= 8;
            if (size < 34) return 0;
            int min_block = (info[0] << 8) | info[1], max_block = (info[2] << 8) | info[3];
            return min_block == max_block && min_block >= 16 ? min_block : 0;
        }
        default:
            return 0;
    }
}

}  // namespace

int64_t FrameSampleStart(int64_t f, int32_t rate, AVRational fps) {
    int64_t numerator = f * rate * fps.den;
    int64_t twice = 2 * numerator + fps.num;
    int64_t q = twice / (2 * int64_t(fps.num));
    if (twice % (2 * int64_t(fps.num)) != 0 && twice < 0) --q;  // floor below zero
    return q;
}

AudioTrack::~AudioTrack() {
    Close();
}

void AudioTrack::Close() {
    swr_free(&resampler_);
    decoder_.reset();
    input_.reset();
}

bool AudioTrack::Open(const std::string& path, double zero_seconds, std::string* error) {
    Close();
    stream_ = -1;
    placing_ = Placing::kNone;
    path_ = path;
    zero_seconds_ = zero_seconds;
    InputPtr input = OpenInput(path, error);
    if (!input) return false;
    int stream = FindStream(input.get(), AVMEDIA_TYPE_AUDIO);
    if (stream < 0) {
        *error = "it has no audio stream";
        return false;
    }
    const AVCodecParameters* par = input->streams[stream]->codecpar;
    source_rate_ = par->sample_rate;
    source_channels_ = par->ch_layout.nb_channels;
    if (source_rate_ <= 0 || source_channels_ <= 0) {
        *error = "its audio stream has no sampling rate or channels";
        return false;
    }
    CodecPtr probe = OpenDecoder(input->streams[stream], 1, error);
    if (!probe) return false;
    stream_ = stream;
    rate_ = source_rate_;
    channels_ = source_channels_ == 1 ? 1 : 2;
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    restart_count_ = -1;  // the first start is no restart
    seek_count_ = 0;
    peak_held_ = 0;
    anchor_stamp_ = AV_NOPTS_VALUE;
    first_offset_ = 0;
    lead_ = 0;
    decoded_rate_ = source_rate_;
    if (!Restart()) return false;
    // The first frame places the stream against the video; the second,
    // whose position is the first's length (the first may be cut at its
    // front), places every later frame.
    if (!NextFrame()) {
        Drain();
        return true;
    }
    if (frame_->sample_rate > 0) decoded_rate_ = frame_->sample_rate;
    frame_grid_ = FrameGrid(par, decoded_rate_);
    int64_t first_length = frame_->nb_samples;
    PlaceAgainstVideo(frame_->best_effort_timestamp);
    ResetRun(0);
    Feed();
    if (NextFrame()) {
        anchor_stamp_ = frame_->best_effort_timestamp;
        anchor_sample_ = first_length;
        ChoosePlacing();
        Feed();
    }
    return true;
}

void AudioTrack::PlaceAgainstVideo(int64_t first_stamp) {
    AVRational base = input_->streams[stream_]->time_base;
    if (first_stamp == AV_NOPTS_VALUE) return;
    double offset = first_stamp * av_q2d(base) - zero_seconds_;
    // Audio that starts before the video is cut; a late start is preceded
    // by silence.
    first_offset_ = std::fabs(offset) < kMaxOffsetSeconds ? offset : 0;
    lead_ = std::llround(first_offset_ * rate_);
}

void AudioTrack::ChoosePlacing() {
    AVRational base = input_->streams[stream_]->time_base;
    if (anchor_stamp_ == AV_NOPTS_VALUE || base.num <= 0 || base.den <= 0) return;
    if (input_->pb == nullptr || !(input_->pb->seekable & AVIO_SEEKABLE_NORMAL)) return;
    // Where time stamps may start again part way (transport streams, whose
    // recordings are often joined, chained Ogg), a stamp does not say where
    // a frame lies.
    if (input_->iformat->flags & AVFMT_TS_DISCONT) return;
    // One tick of the time base, in samples: tick_samples / base.den.
    int64_t tick_samples = int64_t(base.num) * decoded_rate_;
    if (base.den % tick_samples == 0) {
        placing_ = Placing::kExact;
    } else if (frame_grid_ > 0 && 2 * tick_samples < frame_grid_ * int64_t(base.den)) {
        // The rounding of two stamps, half a tick each, stays within half a
        // frame.
        placing_ = Placing::kFrameGrid;
    }
}

int64_t AudioTrack::StampPosition(int64_t stamp) const {
    AVRational base = input_->streams[stream_]->time_base;
    int64_t samples = av_rescale_rnd(stamp - anchor_stamp_, int64_t(base.num) * decoded_rate_,
                                     base.den, AV_ROUND_NEAR_INF);
    if (placing_ == Placing::kFrameGrid) {
        samples = std::llround(double(samples) / double(frame_grid_)) * frame_grid_;
    }
    // Only the first frame lies before the anchor.
    return samples < 0 ? 0 : anchor_sample_ + samples;
}

void AudioTrack::SetFormat(int32_t rate, int32_t channels) {
    if (rate <= 0 || (channels != 1 && channels != 2)) return;
    if (rate == rate_ && channels == channels_) return;
    rate_ = rate;
    channels_ = channels;
    lead_ = std::llround(first_offset_ * rate_);
    window_.clear();
    stale_ = true;
}

bool AudioTrack::Restart() {
    ++restart_count_;
    Close();
    ResetRun(0);
    ended_ = true;
    end_ = 0;
    std::string error;
    input_ = OpenInput(path_, &error);
    if (!input_ || stream_ >= static_cast<int>(input_->nb_streams)) return false;
    for (unsigned i = 0; i < input_->nb_streams; ++i) {
        if (static_cast<int>(i) != stream_) input_->streams[i]->discard = AVDISCARD_ALL;
    }
    decoder_ = OpenDecoder(input_->streams[stream_], 1, &error);
    if (!decoder_) return false;
    // Decoders that fill quiet parts with noise (AC-3) draw it from each
    // frame's own bits rather than from a generator that runs from the
    // start, so that a sample is the same however it was reached.
    av_opt_set_int(decoder_.get(), "cons_noisegen", 1, AV_OPT_SEARCH_CHILDREN);
    ended_ = false;
    end_ = -1;
    return true;
}

void AudioTrack::ResetRun(int64_t feed_from) {
    swr_free(&resampler_);
    next_source_ = 0;
    feed_from_ = feed_from;
    window_.clear();
    window_start_ = lead_ + av_rescale(feed_from, rate_, decoded_rate_);
    exact_from_ = window_start_;
    ended_ = false;
    end_ = -1;
    stale_ = false;
}

bool AudioTrack::SeekNear(int64_t wanted) {
    if (placing_ == Placing::kNone || decoded_rate_ <= 0) return false;
    // The conversion starts on a source sample where the rate ratio comes
    // out whole, so that it meets the conversion from the start sample for
    // sample; its first outputs are not handed out.
    int64_t common = std::gcd(int64_t(decoded_rate_), int64_t(rate_));
    int64_t step_in = decoded_rate_ / common;
    int64_t filter_settle = std::max<int64_t>(rate_ / kFilterSettleDivisor, kMinFilterSettle);
    int64_t source = (wanted - filter_settle - lead_) * decoded_rate_ / rate_;
    if (source <= 0) return false;
    int64_t feed_from = source / step_in * step_in;
    const AVCodecParameters* par = input_->streams[stream_]->codecpar;
    int64_t settle = std::max<int64_t>(
        {decoded_rate_ / kSettleDivisor, 2 * frame_grid_, int64_t(par->seek_preroll)});
    int64_t min_start = std::max<int64_t>(decoded_rate_, anchor_sample_ + 2 * frame_grid_);
    for (int attempt = 0; attempt < kSeekAttempts; ++attempt, settle *= 4) {
        int64_t seek_to = feed_from - settle;
        // Near the start, decoding from there costs less than a seek.
        if (seek_to < min_start) return false;
        int64_t landed = 0;
        if (!SeekTo(seek_to, &landed)) return false;
        if (landed <= seek_to + settle / 2) {
            ResetRun(feed_from);
            exact_from_ = window_start_ + filter_settle;
            next_source_ = landed;
            Feed();
            return true;
        }
    }
    return false;
}

bool AudioTrack::SeekTo(int64_t sample, int64_t* landed) {
    if (!input_ || !decoder_) return false;
    AVStream* stream = input_->streams[stream_];
    int64_t stamp = anchor_stamp_ + av_rescale_q(sample - anchor_sample_,
                                                 AVRational{1, decoded_rate_}, stream->time_base);
    // A stream whose index does not reach the time is sought through the
    // file's video stream, whose key points bring every stream to at or
    // before it: audio in Matroska has no index of its own but the packets
    // read so far, and a seek by it would read every cluster up to the time.
    // (A seek by "the default stream" would take the audio too: the others
    // are discarded.)
    int entries = avformat_index_get_entries_count(stream);
    int by = stream_;
    if (entries == 0 || avformat_index_get_entry(stream, entries - 1)->timestamp < stamp) {
        by = FindStream(input_.get(), AVMEDIA_TYPE_VIDEO);
    }
    int rc = by >= 0 ? av_seek_frame(
                           input_.get(), by,
                           av_rescale_q(stamp, stream->time_base, input_->streams[by]->time_base),
                           AVSEEK_FLAG_BACKWARD)
                     : av_seek_frame(input_.get(), -1,
                                     av_rescale_q(stamp, stream->time_base, AV_TIME_BASE_Q),
                                     AVSEEK_FLAG_BACKWARD);
    ++seek_count_;
    if (rc < 0) return false;
    avcodec_flush_buffers(decoder_.get());
    ended_ = false;
    if (!NextFrame() || frame_->best_effort_timestamp == AV_NOPTS_VALUE) {
        av_frame_unref(frame_.get());
        return false;
    }
    *landed = StampPosition(frame_->best_effort_timestamp);
    return true;
}

void AudioTrack::Reposition(int64_t wanted) {
    int64_t seeks = seek_count_;
    // A second before, so that a look a little way back needs no other seek.
    if (SeekNear(wanted - rate_)) return;
    // A seek that failed left the reading anywhere.
    if (seek_count_ != seeks || stale_ || wanted < window_start_) Restart();
}

bool AudioTrack::NextFrame() {
    if (ended_ || !decoder_) return false;
    for (;;) {
        int rc = avcodec_receive_frame(decoder_.get(), frame_.get());
        if (rc >= 0) return true;
        if (rc == AVERROR_EOF) return false;
        if (rc == AVERROR(EAGAIN)) SendNextPacket();
        // Anything else is a damaged frame; carry on.
    }
}

void AudioTrack::SendNextPacket() {
    for (;;) {
        if (av_read_frame(input_.get(), packet_.get()) < 0) {
            avcodec_send_packet(decoder_.get(), nullptr);
            return;
        }
        bool ours = packet_->stream_index == stream_;
        if (ours) avcodec_send_packet(decoder_.get(), packet_.get());
        av_packet_unref(packet_.get());
        if (ours) return;
    }
}

bool AudioTrack::ReadyResampler() {
    const AVFrame& f = *frame_;
    if (resampler_ != nullptr && f.format == fed_format_ && f.sample_rate == fed_rate_ &&
        f.ch_layout.nb_channels == fed_channels_) {
        return true;
    }
    // A stream whose channels or sample format change on the way (a
    // broadcast switching between stereo and surround) gets a new converter
    // there, after the old one gave out what it held.
    if (resampler_ != nullptr) Append(nullptr, 0);
    swr_free(&resampler_);
    fed_format_ = f.format;
    fed_rate_ = f.sample_rate;
    fed_channels_ = f.ch_layout.nb_channels;
    return MakeResampler();
}

bool AudioTrack::MakeResampler() {
    // Zeroed first: copying into a layout frees what it held.
    AVChannelLayout in_layout{};
    if (frame_->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
        av_channel_layout_default(&in_layout, frame_->ch_layout.nb_channels);
    } else {
        av_channel_layout_copy(&in_layout, &frame_->ch_layout);
    }
    AVChannelLayout out_layout{};
    av_channel_layout_default(&out_layout, channels_);
    int rc = swr_alloc_set_opts2(&resampler_, &out_layout, AV_SAMPLE_FMT_S16, rate_, &in_layout,
                                 static_cast<AVSampleFormat>(frame_->format), frame_->sample_rate,
                                 0, nullptr);
    av_channel_layout_uninit(&in_layout);
    av_channel_layout_uninit(&out_layout);
    if (rc < 0 || swr_init(resampler_) < 0) {
        swr_free(&resampler_);
        return false;
    }
    return true;
}

void AudioTrack::Feed() {
    int64_t begin = next_source_;
    int64_t count = frame_->nb_samples;
    next_source_ += count;
    int64_t skip = std::max<int64_t>(0, feed_from_ - begin);
    if (skip >= count) {
        av_frame_unref(frame_.get());
        return;
    }
    if (!ReadyResampler()) {
        av_frame_unref(frame_.get());
        Drain();
        return;
    }
    // The samples from feed_from_ on: past the skipped ones in every plane.
    auto format = static_cast<AVSampleFormat>(frame_->format);
    int channels = frame_->ch_layout.nb_channels;
    bool planar = av_sample_fmt_is_planar(format) != 0;
    int64_t offset = skip * av_get_bytes_per_sample(format) * (planar ? 1 : channels);
    planes_.resize(planar ? size_t(channels) : 1);
    for (size_t p = 0; p < planes_.size(); ++p)
        planes_[p] = frame_->extended_data[p] + offset;
    Append(planes_.data(), static_cast<int>(count - skip));
    av_frame_unref(frame_.get());
}

// Converts samples to the output format and appends them, leaving out those
// before exact_from_.
void AudioTrack::Append(const uint8_t* const* data, int frames) {
    int room = swr_get_out_samples(resampler_, frames);
    if (room <= 0) return;
    size_t room_values = static_cast<size_t>(room) * channels_;
    if (converted_.size() < room_values) converted_.resize(room_values);
    uint8_t* out[1] = {reinterpret_cast<uint8_t*>(converted_.data())};
    int got = swr_convert(resampler_, out, room, const_cast<const uint8_t**>(data), frames);
    if (got <= 0) return;
    window_.insert(window_.end(), converted_.begin(), converted_.begin() + size_t(got) * channels_);
    if (window_start_ < exact_from_) DropBefore(exact_from_);
    peak_held_ = std::max<int64_t>(peak_held_, int64_t(window_.size() / channels_));
}

void AudioTrack::Drain() {
    if (resampler_ != nullptr) Append(nullptr, 0);
    ended_ = true;
    end_ = window_end();
}

void AudioTrack::Forget(int64_t keep_from) {
    // Dropped in batches of a few seconds, so that the moving costs little.
    if (keep_from - window_start_ <= kKeepSeconds * rate_) return;
    DropBefore(keep_from);
}

void AudioTrack::DropBefore(int64_t sample) {
    int64_t drop = std::min<int64_t>(sample - window_start_, window_.size() / channels_);
    window_.erase(window_.begin(), window_.begin() + drop * channels_);
    window_start_ += drop;
}

int64_t AudioTrack::Read(int64_t start, int32_t count, int16_t* out) {
    if (count <= 0) return 0;
    std::memset(out, 0, sizeof(int16_t) * size_t(count) * channels_);
    if (!is_open()) return 0;
    int64_t first = std::max<int64_t>(start, 0);
    int64_t want_end = start + count;
    // Before the stream's first sample all is silence.
    int64_t audible = std::max(first, lead_);
    int64_t keep_from = audible - kKeepSeconds * rate_;
    if (audible < want_end) {
        bool far_ahead =
            seekable() && !ended_ && audible > window_end() + kSeekAheadSeconds * rate_;
        if (stale_ || audible < window_start_ || far_ahead) Reposition(audible);
        while (!ended_ && window_end() < want_end) {
            if (NextFrame()) {
                Feed();
            } else {
                Drain();
            }
            Forget(keep_from);
        }
        int64_t from = std::max(audible, window_start_);
        int64_t to = std::min(want_end, window_end());
        if (to > from) {
            std::memcpy(out + (from - start) * channels_,
                        window_.data() + (from - window_start_) * channels_,
                        sizeof(int16_t) * size_t(to - from) * channels_);
        }
    }
    int64_t stream_end = ended_ ? end_ : want_end;
    int64_t inside = std::max<int64_t>(0, std::min(want_end, stream_end) - first);
    Forget(keep_from);
    return std::min<int64_t>(inside, count);
}
