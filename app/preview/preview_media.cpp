#include "preview/preview_media.h"

#include <cstring>

#include "base/ffmpeg_util.h"

namespace {

void PutLittleEndian(std::string* out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out->push_back(static_cast<char>(value >> (8 * i) & 0xFF));
}

}  // namespace

bool EncodeFramePng(const RenderedFrame& frame, std::string* png, std::string* error) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (codec == nullptr) {
        *error = "no PNG encoder";
        return false;
    }
    CodecPtr encoder(avcodec_alloc_context3(codec));
    FramePtr picture(av_frame_alloc());
    PacketPtr packet(av_packet_alloc());
    if (!encoder || !picture || !packet) {
        *error = "out of memory";
        return false;
    }
    encoder->width = frame.width;
    encoder->height = frame.height;
    encoder->pix_fmt = AV_PIX_FMT_RGB24;
    encoder->time_base = AVRational{1, 1};
    // Fast compression: a frame is shown once and thrown away.
    encoder->compression_level = 1;
    int code = avcodec_open2(encoder.get(), codec, nullptr);
    if (code < 0) {
        *error = "PNG encoder: " + AvErrorText(code);
        return false;
    }
    picture->width = frame.width;
    picture->height = frame.height;
    picture->format = AV_PIX_FMT_RGB24;
    if ((code = av_frame_get_buffer(picture.get(), 0)) < 0) {
        *error = AvErrorText(code);
        return false;
    }
    FromYCConverter converter;
    if (!converter.Open(frame.width, frame.height, AV_PIX_FMT_RGB24, ColourSpec{}) ||
        !converter.Convert(frame.pixels.data(), frame.width, picture.get())) {
        *error = "colour conversion failed";
        return false;
    }
    if ((code = avcodec_send_frame(encoder.get(), picture.get())) < 0 ||
        (code = avcodec_send_frame(encoder.get(), nullptr)) < 0) {
        *error = "PNG encoder: " + AvErrorText(code);
        return false;
    }
    png->clear();
    while ((code = avcodec_receive_packet(encoder.get(), packet.get())) >= 0) {
        png->append(reinterpret_cast<const char*>(packet->data), packet->size);
        av_packet_unref(packet.get());
    }
    if (code != AVERROR_EOF || png->empty()) {
        *error = "PNG encoder: " + AvErrorText(code);
        return false;
    }
    return true;
}

std::string EncodeWav(const RenderedAudio& audio) {
    uint32_t data_bytes = static_cast<uint32_t>(audio.samples.size() * sizeof(int16_t));
    uint32_t channels = static_cast<uint32_t>(audio.channels);
    uint32_t rate = static_cast<uint32_t>(audio.rate);
    std::string wav;
    wav.reserve(44 + data_bytes);
    wav += "RIFF";
    PutLittleEndian(&wav, 36 + data_bytes, 4);
    wav += "WAVEfmt ";
    PutLittleEndian(&wav, 16, 4);  // format chunk size
    PutLittleEndian(&wav, 1, 2);   // PCM
    PutLittleEndian(&wav, channels, 2);
    PutLittleEndian(&wav, rate, 4);
    PutLittleEndian(&wav, rate * channels * 2, 4);  // bytes per second
    PutLittleEndian(&wav, channels * 2, 2);         // bytes per sample frame
    PutLittleEndian(&wav, 16, 2);                   // bits per sample
    wav += "data";
    PutLittleEndian(&wav, data_bytes, 4);
    for (int16_t sample : audio.samples)
        PutLittleEndian(&wav, static_cast<uint16_t>(sample), 2);
    return wav;
}
