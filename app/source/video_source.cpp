#include "source/video_source.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

// How many earlier key frames a request tries before it decodes from the
// start (a frame that needs the previous group of pictures).
constexpr int kKeyRetries = 3;
// A target at most this many frames ahead is decoded to without a seek.
constexpr int kReadOnFrames = 8;
// Decoding errors in a row after which a draining decoder counts as ended.
constexpr int kMaxDecodeErrors = 64;

int64_t PacketStamp(const AVPacket* p) {
    return p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
}

AVRational StreamFrameRate(const AVStream* s) {
    if (s->avg_frame_rate.num > 0 && s->avg_frame_rate.den > 0) return s->avg_frame_rate;
    if (s->r_frame_rate.num > 0 && s->r_frame_rate.den > 0) return s->r_frame_rate;
    return AVRational{25, 1};
}

// Packets read at each end of an indexed stream to check its stamps: a few
// groups of pictures at the start, and from the last key frame to the end.
constexpr int kHeadPackets = 16;
constexpr int kTailPackets = 1000;

// Whether the container's index lists every sample of the stream (MP4 and
// MOV) with decoding stamps `step` apart and none that is decoded but not
// shown (an edit list's cut).
bool EvenlyIndexed(const AVFormatContext* input, int stream, int64_t* step) {
    AVStream* s = input->streams[stream];
    const int entries = avformat_index_get_entries_count(s);
    if (std::strncmp(input->iformat->name, "mov,", 4) != 0 || entries < 2 ||
        s->nb_frames != entries) {
        return false;
    }
    const int64_t first = avformat_index_get_entry(s, 0)->timestamp;
    *step = avformat_index_get_entry(s, 1)->timestamp - first;
    if (*step <= 0) return false;
    for (int i = 0; i < entries; ++i) {
        const AVIndexEntry* e = avformat_index_get_entry(s, i);
        if ((e->flags & AVINDEX_DISCARD_FRAME) || e->timestamp != first + i * *step) return false;
    }
    return true;
}

// Reads the stream's next packets, at most `most`; true when the stream
// ended within them.
bool ReadStreamPackets(AVFormatContext* input, int stream, int most,
                       std::vector<PacketPtr>* packets) {
    for (;;) {
        PacketPtr packet(av_packet_alloc());
        if (!packet || av_read_frame(input, packet.get()) < 0) return packet != nullptr;
        if (packet->stream_index != stream) continue;
        if (static_cast<int>(packets->size()) == most) return false;
        packets->push_back(std::move(packet));
    }
}

// Whether every packet is shown at a distinct place of the row first +
// i * step, i < count; `last` is the latest place.
bool OnRow(const std::vector<PacketPtr>& packets, int64_t first, int64_t step, int64_t count,
           int64_t* last) {
    std::vector<int64_t> places;
    for (const PacketPtr& p : packets) {
        if (p->pts == AV_NOPTS_VALUE || (p->flags & AV_PKT_FLAG_DISCARD)) return false;
        int64_t offset = p->pts - first;
        if (offset < 0 || offset % step != 0 || offset / step >= count) return false;
        places.push_back(offset / step);
    }
    std::sort(places.begin(), places.end());
    if (std::adjacent_find(places.begin(), places.end()) != places.end()) return false;
    *last = places.empty() ? -1 : places.back();
    return true;
}

// A side data block of the stream as bytes (empty when absent).
std::vector<uint8_t> SideData(const AVStream* s, AVPacketSideDataType type) {
    size_t size = 0;
    const uint8_t* data = av_stream_get_side_data(s, type, &size);
    return data != nullptr ? std::vector<uint8_t>(data, data + size) : std::vector<uint8_t>();
}

}  // namespace

bool VideoSource::Open(const std::string& path, int threads, std::string* error) {
    path_ = path;
    threads_ = threads > 0 ? threads : 1;
    if (!BuildIndex(error)) return false;
    if (order_.empty()) {
        *error = "its video stream has no frames";
        return false;
    }
    if (!Reopen()) {
        *error = "cannot read it again after counting its frames";
        return false;
    }
    const AVCodecParameters* par = input_->streams[stream_]->codecpar;
    width_ = par->width;
    height_ = par->height;
    pixel_format_ = static_cast<AVPixelFormat>(par->format);
    colour_ = ColourOf(pixel_format_, par->color_space, par->color_range, height_);
    frame_rate_ = StreamFrameRate(input_->streams[stream_]);
    ReadStreamFacts();
    MapToConstantRate(input_->streams[stream_], last_duration_);
    if (width_ <= 0 || height_ <= 0) {
        *error = "its video stream has no picture size";
        return false;
    }
    return true;
}

// The frame count, every frame's stamp and the key frames: from the
// container's own index where it lists every frame, else from one pass over
// the stream's packets.
bool VideoSource::BuildIndex(std::string* error) {
    InputPtr input = OpenIndexInput(error);
    if (!input) return false;
    packets_read_at_open_ = 0;
    indexed_by_container_ = IndexFromContainer(input.get());
    if (!indexed_by_container_) {
        // The packets read to check the container's index moved the
        // reading; the scan starts afresh.
        if (packets_read_at_open_ > 0) input = OpenIndexInput(error);
        if (!input) return false;
        ScanPackets(input.get());
    }
    const AVStream* s = input->streams[stream_];
    start_seconds_ = stamped_ && !order_.empty() ? order_.front() * av_q2d(s->time_base) : 0.0;
    return true;
}

InputPtr VideoSource::OpenIndexInput(std::string* error) {
    InputPtr input = OpenInput(path_, error);
    if (!input) return input;
    stream_ = FindStream(input.get(), AVMEDIA_TYPE_VIDEO);
    seek_by_stamp_ = std::strncmp(input->iformat->name, "mov,", 4) == 0;
    if (stream_ < 0) {
        *error = "it has no video stream";
        return InputPtr();
    }
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        if (static_cast<int>(i) != stream_) input->streams[i]->discard = AVDISCARD_ALL;
    }
    return input;
}

// One pass over the stream's packets. Packets the demuxer marks to be
// discarded (cut by an edit list) are no frames.
void VideoSource::ScanPackets(AVFormatContext* input) {
    PacketPtr packet(av_packet_alloc());
    order_.clear();
    keys_.clear();
    stamped_ = true;
    int64_t ordinal = 0;
    int64_t latest = INT64_MIN;
    last_duration_ = 0;
    while (av_read_frame(input, packet.get()) >= 0) {
        if (packet->stream_index == stream_) ++packets_read_at_open_;
        if (packet->stream_index == stream_ && !(packet->flags & AV_PKT_FLAG_DISCARD)) {
            int64_t stamp = PacketStamp(packet.get());
            if (stamp != AV_NOPTS_VALUE && stamp >= latest) {
                latest = stamp;
                last_duration_ = packet->duration;
            }
            if (stamp == AV_NOPTS_VALUE) stamped_ = false;
            order_.push_back(stamp);
            if (packet->flags & AV_PKT_FLAG_KEY) {
                int64_t seek = packet->dts != AV_NOPTS_VALUE ? packet->dts : stamp;
                keys_.push_back({stamp, seek});
            }
            ++ordinal;
        }
        av_packet_unref(packet.get());
    }
    if (stamped_) {
        std::sort(order_.begin(), order_.end());
        // Duplicate stamps cannot tell frames apart: number them in order instead.
        if (std::adjacent_find(order_.begin(), order_.end()) != order_.end()) stamped_ = false;
    }
    if (!stamped_) {
        for (int64_t i = 0; i < ordinal; ++i)
            order_[i] = i;
        keys_.assign(1, KeyFrame{0, 0});
    }
    if (keys_.empty()) keys_.push_back({order_.empty() ? 0 : order_.front(), AV_NOPTS_VALUE});
}

// An MP4 or MOV file's index lists every sample of the stream with its
// decoding stamp and whether it is a key frame, but not its presentation
// stamp. Where the decoding stamps are one period apart, the presentation
// stamps are taken to be the same evenly spaced row, shifted by the delay of
// the frames' reordering: frame i is stamped first + i periods. The packets
// at the stream's start and from its last key frame on are read to check
// that: each is stamped on that row, and the last frame falls on its last
// place. A key frame is placed at the earliest stamp it can have (nothing
// decoded before it is shown after it) until its packet is read.
bool VideoSource::IndexFromContainer(AVFormatContext* input) {
    AVStream* s = input->streams[stream_];
    int64_t step = 0;
    if (!EvenlyIndexed(input, stream_, &step)) return false;
    const int entries = avformat_index_get_entries_count(s);
    std::vector<PacketPtr> head, tail;
    ReadStreamPackets(input, stream_, kHeadPackets, &head);
    packets_read_at_open_ += int64_t(head.size());
    int64_t first = INT64_MAX;
    for (const PacketPtr& p : head)
        first = std::min(first, p->pts == AV_NOPTS_VALUE ? INT64_MIN : p->pts);
    int64_t head_last = 0, tail_last = 0;
    if (head.empty() || first == INT64_MIN || !OnRow(head, first, step, entries, &head_last)) {
        return false;
    }
    FillEvenRow(s, first, step);
    // The demuxer seeks by presentation stamps: to the last key frame, or
    // one before it where its stamp was estimated too early.
    bool ended = av_seek_frame(input, stream_, keys_.back().pts, AVSEEK_FLAG_BACKWARD) >= 0 &&
                 ReadStreamPackets(input, stream_, kTailPackets, &tail);
    packets_read_at_open_ += int64_t(tail.size());
    // A row the constant rate would map again is left to the scan, which
    // knows each frame's own duration.
    if (!ended || !OnRow(tail, first, step, entries, &tail_last) || tail_last != entries - 1 ||
        (!StampsRegular(s, StreamFrameRate(s)) &&
         !StampsRegular(s, av_guess_frame_rate(nullptr, s, nullptr)))) {
        order_.clear();
        keys_.clear();
        return false;
    }
    for (const std::vector<PacketPtr>* packets : {&head, &tail}) {
        for (const PacketPtr& p : *packets)
            RecordKeyStamp(p.get());
    }
    return true;
}

void VideoSource::FillEvenRow(AVStream* s, int64_t first, int64_t step) {
    const int entries = avformat_index_get_entries_count(s);
    order_.resize(size_t(entries));
    for (int i = 0; i < entries; ++i)
        order_[size_t(i)] = first + i * step;
    keys_.clear();
    const int64_t delay = first - avformat_index_get_entry(s, 0)->timestamp;
    for (int i = 0; i < entries; ++i) {
        const AVIndexEntry* e = avformat_index_get_entry(s, i);
        if (e->flags & AVINDEX_KEYFRAME) keys_.push_back({e->timestamp + delay, e->timestamp});
    }
    if (keys_.empty()) keys_.push_back({first, AV_NOPTS_VALUE});
    stamped_ = true;
    last_duration_ = step;
}

void VideoSource::RecordKeyStamp(const AVPacket* packet) {
    if (!(packet->flags & AV_PKT_FLAG_KEY) || packet->pts == AV_NOPTS_VALUE ||
        packet->dts == AV_NOPTS_VALUE) {
        return;
    }
    auto key = std::lower_bound(keys_.begin(), keys_.end(), packet->dts,
                                [](const KeyFrame& k, int64_t dts) { return k.seek < dts; });
    if (key != keys_.end() && key->seek == packet->dts) key->pts = packet->pts;
}

int64_t VideoSource::SlotOf(const AVStream* stream, int64_t stamp, AVRational rate) const {
    AVRational period_units = av_mul_q(stream->time_base, rate);  // periods per stamp unit
    return av_rescale_rnd(stamp - order_.front(), period_units.num, period_units.den,
                          AV_ROUND_NEAR_INF);
}

bool VideoSource::StampsRegular(const AVStream* stream, AVRational rate) const {
    if (rate.num <= 0 || rate.den <= 0) return false;
    for (size_t i = 0; i < order_.size(); ++i) {
        if (SlotOf(stream, order_[i], rate) != int64_t(i)) return false;
    }
    return true;
}

// Frame k of the constant rate R shows the last stream frame whose stamp,
// counted in periods of R from the first frame and rounded, is at most k; the
// stream lasts to its last stamp plus that frame's duration (one period when
// unknown). A stream whose every frame has its own period is left alone.
void VideoSource::MapToConstantRate(const AVStream* stream, int64_t last_duration) {
    slots_.clear();
    repeated_ = dropped_ = 0;
    if (!stamped_ || order_.size() < 2) return;
    // FFmpeg's choice of a constant rate for a stream.
    AVRational rate = av_guess_frame_rate(nullptr, const_cast<AVStream*>(stream), nullptr);
    if (StampsRegular(stream, frame_rate_) || StampsRegular(stream, rate)) return;
    if (rate.num > 0 && rate.den > 0) frame_rate_ = rate;
    int64_t end = order_.back() + (last_duration > 0
                                       ? last_duration
                                       : av_rescale_q(1, av_inv_q(frame_rate_), stream->time_base));
    int64_t count = std::max<int64_t>(1, SlotOf(stream, end, frame_rate_));
    constexpr int64_t kMaxSlots = INT32_MAX / 2;
    if (count > kMaxSlots) return;  // a broken stamp; keep the frames as they are
    slots_.assign(size_t(count), 0);
    size_t next = 0;
    int32_t shown = 0;
    std::vector<bool> used(order_.size(), false);
    for (int64_t k = 0; k < count; ++k) {
        while (next < order_.size() && SlotOf(stream, order_[next], frame_rate_) <= k)
            ++next;
        shown = next > 0 ? int32_t(next - 1) : 0;
        slots_[size_t(k)] = shown;
        used[size_t(shown)] = true;
    }
    int32_t distinct = int32_t(std::count(used.begin(), used.end(), true));
    repeated_ = int32_t(count) - distinct;
    dropped_ = int32_t(order_.size()) - distinct;
}

std::string VideoSource::MappingNote() const {
    if (slots_.empty()) return std::string();
    char text[200];
    std::snprintf(text, sizeof text,
                  "variable frame rate: its %d frames are mapped by time onto %d frames at %.3f "
                  "fps (%d repeated, %d dropped)",
                  stream_frames(), frame_count(), av_q2d(frame_rate_), repeated_, dropped_);
    return text;
}

void VideoSource::ReadStreamFacts() {
    const AVStream* stream = input_->streams[stream_];
    const AVCodecParameters* par = stream->codecpar;
    tags_ = StreamTags();
    tags_.primaries = par->color_primaries;
    tags_.transfer = par->color_trc;
    tags_.field_order = par->field_order;
    tags_.mastering_display = SideData(stream, AV_PKT_DATA_MASTERING_DISPLAY_METADATA);
    tags_.content_light = SideData(stream, AV_PKT_DATA_CONTENT_LIGHT_LEVEL);
    ReadOrientation(stream);
    audio_streams_ = main_audio_ = 0;
    int main = FindStream(input_.get(), AVMEDIA_TYPE_AUDIO);
    for (unsigned i = 0; i < input_->nb_streams; ++i) {
        if (input_->streams[i]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
        ++audio_streams_;
        if (static_cast<int>(i) == main) main_audio_ = audio_streams_;
    }
}

// Pictures stored turned are turned back where their format allows; the
// note says what was done.
void VideoSource::ReadOrientation(const AVStream* stream) {
    orientation_ = Orientation();
    orientation_note_.clear();
    size_t size = 0;
    const int32_t* matrix = reinterpret_cast<const int32_t*>(
        av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size));
    if (matrix == nullptr || size < 9 * sizeof(int32_t)) return;
    Orientation asked;
    double degrees = 0;
    char text[240];
    if (!OrientationOf(matrix, &asked, &degrees)) {
        std::snprintf(text, sizeof text,
                      "its display matrix asks for a turn of %.0f° counterclockwise, not a "
                      "quarter turn: the pictures are used as stored",
                      std::isnan(degrees) ? 0.0 : degrees);
        orientation_note_ = text;
        return;
    }
    if (asked.upright()) return;
    if (TurnedFormat(pixel_format_) == AV_PIX_FMT_NONE) {
        const char* name = av_get_pix_fmt_name(pixel_format_);
        orientation_note_ = "its display matrix asks for it " + asked.Describe() + ", but " +
                            (name != nullptr ? name : "its") +
                            " pictures cannot be turned: they are used as stored";
        return;
    }
    orientation_ = asked;
    if (asked.swaps_sides()) std::swap(width_, height_);
    std::snprintf(text, sizeof text,
                  "%s as its display matrix asks: the script sees %dx%d pictures",
                  asked.Describe().c_str(), width_, height_);
    orientation_note_ = text;
    if (tags_.interlaced()) {
        orientation_note_ += ", whose interlaced fields are not kept";
        tags_.field_order = AV_FIELD_PROGRESSIVE;
    }
}

std::string VideoSource::AlphaNote() const {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(pixel_format_);
    if (d == nullptr || !(d->flags & AV_PIX_FMT_FLAG_ALPHA)) return std::string();
    return std::string("its alpha channel (") + d->name +
           ") is dropped: scripts work on opaque pictures, and the output is written opaque";
}

std::string VideoSource::AudioStreamsNote() const {
    if (audio_streams_ < 2) return std::string();
    char text[200];
    std::snprintf(text, sizeof text,
                  "it has %d audio streams: the render reads audio stream %d and drops the "
                  "other%s",
                  audio_streams_, main_audio_, audio_streams_ > 2 ? "s" : "");
    return text;
}

bool VideoSource::Reopen() {
    std::string error;
    decoder_.reset();
    input_ = OpenInput(path_, &error);
    if (!input_ || stream_ >= static_cast<int>(input_->nb_streams)) return false;
    for (unsigned i = 0; i < input_->nb_streams; ++i) {
        if (static_cast<int>(i) != stream_) input_->streams[i]->discard = AVDISCARD_ALL;
    }
    decoder_ = OpenDecoder(input_->streams[stream_], threads_, &error);
    if (!decoder_) return false;
    if (!frame_) frame_.reset(av_frame_alloc());
    if (!packet_) packet_.reset(av_packet_alloc());
    have_frame_ = false;
    last_stamp_ = INT64_MIN;
    decoded_count_ = 0;
    draining_ = false;
    ended_ = false;
    skip_to_key_ = false;
    return true;
}

size_t VideoSource::KeyBefore(int64_t target) const {
    size_t best = 0;
    for (size_t k = 0; k < keys_.size(); ++k) {
        if (keys_[k].pts <= target) best = k;
    }
    return best;
}

bool VideoSource::SeekToKey(size_t key) {
    ++seek_count_;
    const KeyFrame& k = keys_[key];
    if (!stamped_ || key == 0 || k.seek == AV_NOPTS_VALUE || !input_ || !decoder_) {
        return Reopen();
    }
    int64_t at = seek_by_stamp_ ? k.pts : k.seek;
    if (av_seek_frame(input_.get(), stream_, at, AVSEEK_FLAG_BACKWARD) < 0) return Reopen();
    avcodec_flush_buffers(decoder_.get());
    have_frame_ = false;
    last_stamp_ = INT64_MIN;
    draining_ = false;
    ended_ = false;
    skip_to_key_ = true;
    return true;
}

// Takes the next decoded frame into frame_, feeding packets as needed; false
// at the end of the stream.
bool VideoSource::ReceiveFrame() {
    int errors = 0;
    for (;;) {
        av_frame_unref(frame_.get());
        int rc = avcodec_receive_frame(decoder_.get(), frame_.get());
        if (rc >= 0) {
            int64_t stamp = stamped_ ? frame_->best_effort_timestamp : decoded_count_;
            ++decoded_count_;
            if (stamp == AV_NOPTS_VALUE) continue;
            last_stamp_ = stamp;
            have_frame_ = true;
            return true;
        }
        bool stuck = draining_ && (rc == AVERROR(EAGAIN) || ++errors > kMaxDecodeErrors);
        if (rc == AVERROR_EOF || stuck) {
            ended_ = true;
            have_frame_ = false;
            return false;
        }
        if (draining_) continue;  // a damaged frame; the decoder carries on
        // Feed one packet of our stream, or the end-of-stream signal.
        for (;;) {
            if (av_read_frame(input_.get(), packet_.get()) < 0) {
                avcodec_send_packet(decoder_.get(), nullptr);
                draining_ = true;
                break;
            }
            bool ours = packet_->stream_index == stream_ &&
                        !(skip_to_key_ && !(packet_->flags & AV_PKT_FLAG_KEY));
            if (ours) {
                skip_to_key_ = false;
                RecordKeyStamp(packet_.get());
                // A damaged packet is refused; the next one is fed after it.
                avcodec_send_packet(decoder_.get(), packet_.get());
            }
            av_packet_unref(packet_.get());
            if (ours) break;
        }
    }
}

bool VideoSource::DecodeUntil(int64_t target) {
    while (!ended_) {
        if (!ReceiveFrame()) return false;
        if (last_stamp_ == target) return true;
        if (last_stamp_ > target) return false;
    }
    return false;
}

const AVFrame* VideoSource::Frame(int32_t index) {
    if (index < 0 || index >= frame_count()) return nullptr;
    const AVFrame* frame = FrameInStream(slots_.empty() ? index : slots_[size_t(index)]);
    return frame != nullptr && !orientation_.upright() ? Upright(frame) : frame;
}

const AVFrame* VideoSource::Upright(const AVFrame* frame) {
    // Frames are told apart by their stamps (or decoding order), as the
    // index is.
    if (turned_ && turned_stamp_ == last_stamp_) return turned_.get();
    if (!turned_) turned_.reset(av_frame_alloc());
    turned_stamp_ = INT64_MIN;
    if (!turned_ || !TurnFrame(frame, orientation_, turned_.get())) return nullptr;
    // An untagged picture's matrix goes by its stored height, not the turned one.
    if (turned_->colorspace == AVCOL_SPC_UNSPECIFIED) turned_->colorspace = colour_.matrix;
    turned_stamp_ = last_stamp_;
    return turned_.get();
}

const AVFrame* VideoSource::FrameInStream(int32_t index) {
    const AVFrame* frame = FindInStream(index);
    if (frame != nullptr || !indexed_by_container_) return frame;
    // Decoding did not find a frame the container's index promised: its
    // stamps are not the even row they were taken for.
    if (!RescanIndex()) return nullptr;
    return FindInStream(index);
}

bool VideoSource::RescanIndex() {
    indexed_by_container_ = false;
    std::string error;
    InputPtr input = OpenIndexInput(&error);
    if (!input) return false;
    ScanPackets(input.get());
    frame_rate_ = StreamFrameRate(input->streams[stream_]);
    MapToConstantRate(input->streams[stream_], last_duration_);
    return !order_.empty() && Reopen();
}

const AVFrame* VideoSource::FindInStream(int32_t index) {
    if (index < 0 || index >= stream_frames()) return nullptr;
    int64_t target = order_[index];
    if (have_frame_ && last_stamp_ == target) return frame_.get();
    if (!decoder_ && !Reopen()) return nullptr;

    size_t key = KeyBefore(target);
    // Reading on is cheaper than a seek when the target lies ahead and its
    // key frame has already been passed, or it is only a few frames on (in an
    // all-key-frame stream every frame is a key frame).
    bool at_start = last_stamp_ == INT64_MIN && decoded_count_ == 0;
    bool key_passed = last_stamp_ != INT64_MIN && keys_[key].pts <= last_stamp_;
    bool near = false;
    if (last_stamp_ != INT64_MIN && target > last_stamp_) {
        auto last = std::lower_bound(order_.begin(), order_.end(), last_stamp_);
        near = (order_.begin() + index) - last <= kReadOnFrames;
    }
    bool read_on =
        !ended_ && target > last_stamp_ && (key_passed || near || (at_start && key == 0));
    if (read_on && DecodeUntil(target)) return frame_.get();

    for (int attempt = 0; attempt <= kKeyRetries; ++attempt) {
        size_t k = attempt < kKeyRetries && key >= static_cast<size_t>(attempt) ? key - attempt : 0;
        if (!SeekToKey(k)) return nullptr;
        if (DecodeUntil(target)) return frame_.get();
        if (k == 0) break;
    }
    have_frame_ = false;
    return nullptr;
}
