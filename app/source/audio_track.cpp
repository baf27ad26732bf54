#include "source/audio_track.h"

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace {

// Seconds of samples kept before the latest request, so that a script that
// reads a little way back does not decode from the start again.
constexpr int64_t kKeepSeconds = 4;
// A start offset against the video beyond this is taken for a broken stamp.
constexpr double kMaxOffsetSeconds = 3600;

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
    return Restart();
}

void AudioTrack::SetFormat(int32_t rate, int32_t channels) {
    if (rate <= 0 || (channels != 1 && channels != 2)) return;
    if (rate == rate_ && channels == channels_) return;
    rate_ = rate;
    channels_ = channels;
    Restart();
}

bool AudioTrack::Restart() {
    ++restart_count_;
    Close();
    window_.clear();
    window_start_ = 0;
    placed_ = false;
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
    ended_ = false;
    end_ = -1;
    return true;
}

// Converts decoded samples to the output format and appends them; the very
// first samples are first placed against the video's start.
void AudioTrack::Append(const uint8_t* const* data, int frames) {
    int room = swr_get_out_samples(resampler_, frames);
    if (room <= 0) return;
    size_t room_values = static_cast<size_t>(room) * channels_;
    if (converted_.size() < room_values) converted_.resize(room_values);
    uint8_t* out[1] = {reinterpret_cast<uint8_t*>(converted_.data())};
    int got = swr_convert(resampler_, out, room, const_cast<const uint8_t**>(data), frames);
    if (got <= 0) return;
    window_.insert(window_.end(), converted_.begin(), converted_.begin() + size_t(got) * channels_);
}

void AudioTrack::Drain() {
    if (resampler_ != nullptr) Append(nullptr, 0);
    ended_ = true;
    end_ = window_start_ + static_cast<int64_t>(window_.size() / channels_);
}

bool AudioTrack::DecodeMore() {
    if (ended_ || !decoder_) return false;
    for (;;) {
        int rc = avcodec_receive_frame(decoder_.get(), frame_.get());
        if (rc == AVERROR_EOF) {
            Drain();
            return false;
        }
        if (rc >= 0) break;
        if (rc != AVERROR(EAGAIN)) continue;  // a damaged frame; carry on
        bool fed = false;
        while (!fed) {
            if (av_read_frame(input_.get(), packet_.get()) < 0) {
                avcodec_send_packet(decoder_.get(), nullptr);
                fed = true;
                break;
            }
            if (packet_->stream_index == stream_) {
                avcodec_send_packet(decoder_.get(), packet_.get());
                fed = true;
            }
            av_packet_unref(packet_.get());
        }
    }
    if (resampler_ == nullptr) {
        AVChannelLayout in_layout;
        if (frame_->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
            av_channel_layout_default(&in_layout, frame_->ch_layout.nb_channels);
        } else {
            av_channel_layout_copy(&in_layout, &frame_->ch_layout);
        }
        AVChannelLayout out_layout;
        av_channel_layout_default(&out_layout, channels_);
        int rc = swr_alloc_set_opts2(&resampler_, &out_layout, AV_SAMPLE_FMT_S16, rate_, &in_layout,
                                     static_cast<AVSampleFormat>(frame_->format),
                                     frame_->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&in_layout);
        av_channel_layout_uninit(&out_layout);
        if (rc < 0 || swr_init(resampler_) < 0) {
            swr_free(&resampler_);
            av_frame_unref(frame_.get());
            Drain();
            return false;
        }
    }
    if (!placed_) {
        placed_ = true;
        int64_t stamp = frame_->best_effort_timestamp;
        if (stamp != AV_NOPTS_VALUE) {
            double offset = stamp * av_q2d(input_->streams[stream_]->time_base) - zero_seconds_;
            if (std::fabs(offset) < kMaxOffsetSeconds) {
                // Audio that starts before the video is cut; a late start is
                // preceded by silence.
                int64_t lead = std::llround(offset * rate_);
                if (lead > 0) window_.assign(size_t(lead) * channels_, 0);
                if (lead < 0) window_start_ = lead;
            }
        }
    }
    Append(frame_->extended_data, frame_->nb_samples);
    av_frame_unref(frame_.get());
    return true;
}

int64_t AudioTrack::Read(int64_t start, int32_t count, int16_t* out) {
    if (count <= 0) return 0;
    std::memset(out, 0, sizeof(int16_t) * size_t(count) * channels_);
    if (!is_open()) return 0;
    int64_t first = std::max<int64_t>(start, 0);
    if (first < window_start_) Restart();
    int64_t want_end = start + count;
    auto window_end = [this] { return window_start_ + int64_t(window_.size() / channels_); };
    while (!ended_ && window_end() < want_end)
        DecodeMore();

    int64_t from = std::max(first, window_start_);
    int64_t to = std::min(want_end, window_end());
    int64_t inside = 0;
    if (to > from) {
        std::memcpy(out + (from - start) * channels_,
                    window_.data() + (from - window_start_) * channels_,
                    sizeof(int16_t) * size_t(to - from) * channels_);
    }
    int64_t stream_end = ended_ ? end_ : want_end;
    inside = std::max<int64_t>(0, std::min(want_end, stream_end) - first);
    inside = std::min<int64_t>(inside, count);

    // Forget what lies well behind this request.
    int64_t keep_from = first - kKeepSeconds * rate_;
    if (keep_from - window_start_ > kKeepSeconds * rate_) {
        size_t drop = size_t(keep_from - window_start_) * channels_;
        window_.erase(window_.begin(), window_.begin() + drop);
        window_start_ = keep_from;
    }
    return inside;
}
