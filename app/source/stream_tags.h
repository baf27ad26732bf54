// What a source's video stream says of its pictures beyond their samples
// and their YUV matrix and range: the colours they mean (primaries and
// transfer, such as BT.2020 with PQ or HLG), how their lines were scanned
// (interlaced fields), and the display an HDR picture was graded on. The
// output writes them wherever its encoder or container can hold them.
#pragma once

#include <cstdint>
#include <vector>

extern "C" {
#include <libavcodec/codec_par.h>
#include <libavutil/pixfmt.h>
}

struct StreamTags {
    AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
    AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
    // Interlaced pictures: AV_FIELD_TT, BB, TB or BT; anything else is
    // progressive (or unknown, taken as progressive).
    AVFieldOrder field_order = AV_FIELD_UNKNOWN;
    // The container's HDR facts as FFmpeg holds them
    // (AVMasteringDisplayMetadata, AVContentLightMetadata); empty when absent.
    std::vector<uint8_t> mastering_display;
    std::vector<uint8_t> content_light;

    bool interlaced() const { return field_order > AV_FIELD_PROGRESSIVE; }
    // The top field is the first in time (FFmpeg's TT and TB, as its
    // encoders mark a top-field-first picture).
    bool top_field_first() const {
        return field_order == AV_FIELD_TT || field_order == AV_FIELD_TB;
    }
};
