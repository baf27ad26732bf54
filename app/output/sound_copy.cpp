#include "output/sound_copy.h"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavutil/mathematics.h>
}

bool IsPcmCodec(AVCodecID codec) {
    return codec >= AV_CODEC_ID_PCM_S16LE && codec < AV_CODEC_ID_ADPCM_IMA_QT;
}

namespace {

// Bytes per sample frame of plain PCM (whose packets hold nothing but
// samples, so that they can be cut anywhere between sample frames); 0 for
// other codecs.
int32_t PcmBlock(const AVCodecParameters* par) {
    if (!IsPcmCodec(par->codec_id)) return 0;
    int bits = av_get_exact_bits_per_sample(par->codec_id);
    if (bits <= 0 || bits % 8 != 0 || par->ch_layout.nb_channels <= 0) return 0;
    return bits / 8 * par->ch_layout.nb_channels;
}

}  // namespace

bool SoundCopy::Open(const std::string& source, double zero_seconds, std::string* error) {
    input_ = OpenInput(source, error);
    if (!input_) return false;
    if (input_->iformat->flags & AVFMT_TS_DISCONT) {
        *error = "its time stamps may start again part way";
        return false;
    }
    stream_ = FindStream(input_.get(), AVMEDIA_TYPE_AUDIO);
    if (stream_ < 0) {
        *error = "it has no audio stream";
        return false;
    }
    const AVStream* stream = input_->streams[stream_];
    if (stream->time_base.num <= 0 || stream->time_base.den <= 0) {
        *error = "its audio stream has no time base";
        return false;
    }
    // Only the stream copied is read.
    for (unsigned i = 0; i < input_->nb_streams; ++i) {
        if (int(i) != stream_) input_->streams[i]->discard = AVDISCARD_ALL;
    }
    pcm_block_ = PcmBlock(stream->codecpar);
    if (pcm_block_ > 0 && stream->codecpar->sample_rate <= 0) pcm_block_ = 0;
    zero_seconds_ = zero_seconds;
    zero_ = std::llround(zero_seconds / av_q2d(stream->time_base));
    next_.reset(av_packet_alloc());
    before_.reset(av_packet_alloc());
    if (!next_ || !before_) {
        *error = "out of memory";
        return false;
    }
    return true;
}

const AVCodecParameters* SoundCopy::parameters() const {
    return input_->streams[stream_]->codecpar;
}

// PCM is stamped in samples, counted from the first packet's stamp, since a
// coarse time base (Matroska's milliseconds) cannot say which sample a
// packet starts at.
AVRational SoundCopy::time_base() const {
    if (pcm_block_ > 0) return AVRational{1, parameters()->sample_rate};
    return input_->streams[stream_]->time_base;
}

bool SoundCopy::StartsLate() {
    std::string error;
    if (!next_valid_ && !ReadNext(&error)) return false;
    return next_valid_ && next_->pts > 0;
}

bool SoundCopy::ReadNext(std::string* error) {
    AVPacket* packet = next_.get();
    while (!ended_) {
        int rc = av_read_frame(input_.get(), packet);
        if (rc == AVERROR_EOF) break;
        if (rc < 0) {
            *error = "cannot read the source's audio (" + AvErrorText(rc) + ")";
            return false;
        }
        if (packet->stream_index != stream_ || packet->size <= 0) {
            av_packet_unref(packet);
            continue;
        }
        int64_t stamp = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        if (pcm_block_ > 0) {
            // The first packet places the stream; the rest follow on.
            AVRational base = input_->streams[stream_]->time_base;
            if (!placed_ && stamp != AV_NOPTS_VALUE) {
                double offset = stamp * av_q2d(base) - zero_seconds_;
                next_stamp_ = std::llround(offset * parameters()->sample_rate);
            }
            placed_ = true;
            packet->duration = packet->size / pcm_block_;
            stamp = next_stamp_;
        } else {
            stamp = stamp != AV_NOPTS_VALUE ? stamp - zero_ : next_stamp_;
        }
        packet->dts = packet->pts = stamp;
        next_stamp_ = stamp + packet->duration;
        next_valid_ = true;
        return true;
    }
    ended_ = true;
    return true;
}

// Cuts a PCM packet to the samples from `from` to `to`; false when none are
// left.
bool SoundCopy::CutPcm(AVPacket* packet, int64_t from, int64_t to) const {
    int64_t first = std::max<int64_t>(from - packet->pts, 0);
    int64_t last = std::min<int64_t>(to - packet->pts, packet->duration);
    if (last <= first) return false;
    packet->data += first * pcm_block_;
    packet->size = static_cast<int>((last - first) * pcm_block_);
    packet->pts = packet->dts = packet->pts + first;
    packet->duration = last - first;
    return true;
}

AVPacket* SoundCopy::PlaceBeforeZero() {
    av_packet_unref(before_.get());
    av_packet_move_ref(before_.get(), next_.get());
    before_valid_ = true;
    return nullptr;
}

// A PCM packet is handed over cut to the part from 0 to `until`.
AVPacket* SoundCopy::TakePcm(int64_t until) {
    AVPacket* packet = next_.get();
    next_valid_ = false;
    if (CutPcm(packet, 0, until)) return packet;
    av_packet_unref(packet);
    return nullptr;
}

// Another codec's packet is handed over once it starts before `until`; of
// those that start before 0 only the last is, just before the first that
// does not.
AVPacket* SoundCopy::TakeCoded() {
    next_valid_ = false;
    return next_->pts < 0 ? PlaceBeforeZero() : next_.get();
}

bool SoundCopy::CopyUntil(int64_t end, AVRational base, bool last, const PacketWriter& write,
                          std::string* error) {
    // The end in the copy's time, rounded up: a packet starting before it
    // starts before the end.
    const int64_t until = av_rescale_q_rnd(end, base, time_base(), AV_ROUND_UP);
    for (;;) {
        if (!next_valid_ && !ReadNext(error)) return false;
        if (!next_valid_ || next_->pts >= until) return true;  // the stream's end, or later
        // PCM waits until it ends by `until`, but at the output's end.
        bool waits = pcm_block_ > 0 && !last && next_->pts + next_->duration > until;
        if (waits) return true;
        AVPacket* packet = pcm_block_ > 0 ? TakePcm(until) : TakeCoded();
        if (packet == nullptr) continue;
        if (before_valid_) {
            before_valid_ = false;
            if (!write(before_.get())) return false;
        }
        bool ok = write(packet);
        av_packet_unref(packet);
        if (!ok) return false;
    }
}
