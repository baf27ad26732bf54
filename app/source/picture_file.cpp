#include "source/picture_file.h"

namespace {

// False, with the reason, for a picture above kMaxPicturePixels.
bool SizeAllowed(int64_t w, int64_t h, std::string* error) {
    if (w * h <= kMaxPicturePixels) return true;
    *error = "the picture is " + std::to_string(w) + "x" + std::to_string(h) + " (" +
             std::to_string((w * h + 500000) / 1000000) +
             " megapixels); pictures above 64 megapixels are not read";
    return false;
}

}  // namespace

bool DecodeFirstPicture(const std::string& path, FramePtr* frame, std::string* error) {
    InputPtr input = OpenInput(path, error);
    if (!input) return false;
    int stream = FindStream(input.get(), AVMEDIA_TYPE_VIDEO);
    if (stream < 0) {
        *error = "not a picture";
        return false;
    }
    const AVCodecParameters* par = input->streams[stream]->codecpar;
    if (!SizeAllowed(par->width, par->height, error)) return false;
    CodecPtr decoder = OpenDecoder(input->streams[stream], 1, error);
    if (!decoder) return false;
    PacketPtr packet(av_packet_alloc());
    frame->reset(av_frame_alloc());
    bool got = false;
    while (!got && av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == stream) {
            avcodec_send_packet(decoder.get(), packet.get());
            got = avcodec_receive_frame(decoder.get(), frame->get()) >= 0;
        }
        av_packet_unref(packet.get());
    }
    if (!got) {
        avcodec_send_packet(decoder.get(), nullptr);
        got = avcodec_receive_frame(decoder.get(), frame->get()) >= 0;
    }
    if (!got || (*frame)->width <= 0 || (*frame)->height <= 0) {
        *error = "cannot decode the picture";
        return false;
    }
    return SizeAllowed((*frame)->width, (*frame)->height, error);
}
