#include "base/ffmpeg_util.h"

extern "C" {
#include <libavutil/log.h>
}

std::string AvErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, text, sizeof text);
    return text;
}

InputPtr OpenInput(const std::string& path, std::string* error) {
    AVFormatContext* raw = nullptr;
    int rc = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
    if (rc < 0) {
        *error = AvErrorText(rc);
        return nullptr;
    }
    InputPtr input(raw);
    rc = avformat_find_stream_info(input.get(), nullptr);
    if (rc < 0) {
        *error = "cannot read its streams (" + AvErrorText(rc) + ")";
        return nullptr;
    }
    return input;
}

int FindStream(AVFormatContext* input, AVMediaType type) {
    int best = av_find_best_stream(input, type, -1, -1, nullptr, 0);
    if (best >= 0 && !(input->streams[best]->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
        return best;
    }
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVStream* s = input->streams[i];
        if (s->codecpar->codec_type == type && !(s->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

CodecPtr OpenDecoder(const AVStream* stream, int threads, std::string* error) {
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (codec == nullptr) {
        *error = std::string("no decoder for ") + avcodec_get_name(stream->codecpar->codec_id);
        return nullptr;
    }
    CodecPtr context(avcodec_alloc_context3(codec));
    if (!context) {
        *error = "out of memory";
        return nullptr;
    }
    int rc = avcodec_parameters_to_context(context.get(), stream->codecpar);
    if (rc >= 0) {
        context->thread_count = threads;
        context->pkt_timebase = stream->time_base;
        rc = avcodec_open2(context.get(), codec, nullptr);
    }
    if (rc < 0) {
        *error = "cannot open its decoder (" + AvErrorText(rc) + ")";
        return nullptr;
    }
    return context;
}

void QuietFfmpegLog() {
    av_log_set_level(AV_LOG_FATAL);
}
