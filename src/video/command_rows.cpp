// The video filter's command table: every video command in the order in
// which a script line is offered to them, with its arguments described for
// the help, the script checker and the reference. A command is one row here
// plus its handler in the family's file.
#include <cstddef>

#include "script/command_table.h"
#include "video/video_commands.h"

namespace {

using K = ArgumentKind;

// ---- words shared by many arguments ---------------------------------------

constexpr char kBufferRange[] = "0..9 (0 is the picture shown); other: the line does nothing";
constexpr char kPositionRange[] = "any; only the part inside the buffer is touched";
constexpr char kSizeRange[] = "below 1: the line does nothing; above the buffer: cut to it";
constexpr char kYRange[] = "0 black .. 4096 white; not clamped (kept as 16 bits)";
constexpr char kCRange[] = "-2048..2048, 0 is grey; not clamped (kept as 16 bits)";
constexpr char kRgbRange[] = "0..4096 (not 0..255); not clamped";
constexpr char kThresholdRange[] = "a pixel passes when its Y is greater (strictly)";

// ---- frames and buffers ---------------------------------------------------

const CommandArgument kReadImageArgs[] = {
    {"buffer", K::kBuffer, "buffer to load into", "buffer", kBufferRange},
    {"file", K::kFile, "picture file (PNG, JPEG, BMP, ...)", "file name",
     "relative to the script's folder; unreadable: buffer unchanged"},
};

const CommandArgument kReadVideoArgs[] = {
    {"buffer", K::kBuffer, "buffer to load into", "buffer", kBufferRange},
    {"frame", K::kNumber, "frame of the file", "frames (rounded down)",
     "0 .. the file's last frame; other: buffer unchanged"},
    {"file", K::kFile, "video file", "file name",
     "relative to the script's folder; unreadable: buffer unchanged"},
};

const CommandArgument kCopyFrameArgs[] = {
    {"buffer", K::kBuffer, "buffer to copy into", "buffer", kBufferRange},
    {"frame", K::kNumber, "frame of the project", "frames (rounded down)",
     "0 .. the project's last frame; other: buffer unchanged"},
    {"sx", K::kNumber, "left of the rectangle in the frame", "pixels", kPositionRange},
    {"sy", K::kNumber, "top of the rectangle in the frame", "pixels", kPositionRange},
    {"width", K::kNumber, "width of the rectangle", "pixels", kSizeRange},
    {"height", K::kNumber, "height of the rectangle", "pixels", kSizeRange},
    {"dx", K::kNumber, "left of the copy in the buffer", "pixels", kPositionRange},
    {"dy", K::kNumber, "top of the copy in the buffer", "pixels", kPositionRange},
};

const CommandArgument kDispSizeArgs[] = {
    {"width", K::kNumber, "width of the output picture", "pixels",
     "16 .. the largest frame width; other: the line does nothing"},
    {"height", K::kNumber, "height of the output picture", "pixels",
     "16 .. the largest frame height; other: the line does nothing"},
};

// ---- masks ------------------------------------------------------------------

const CommandArgument kMaskArgs[] = {
    {"source", K::kBuffer, "buffer whose colours are tested", "buffer", kBufferRange},
    {"mask", K::kBuffer, "buffer the mask is written to", "buffer", kBufferRange},
    {"sx", K::kNumber, "left of the tested rectangle", "pixels", kPositionRange},
    {"sy", K::kNumber, "top of the tested rectangle", "pixels", kPositionRange},
    {"width", K::kNumber, "width of the rectangle", "pixels", kSizeRange},
    {"height", K::kNumber, "height of the rectangle", "pixels", kSizeRange},
    {"dx", K::kNumber, "left of the mask rectangle", "pixels", kPositionRange},
    {"dy", K::kNumber, "top of the mask rectangle", "pixels", kPositionRange},
    {"Y_low", K::kNumber, "lowest Y inside the key", "Y scale", "inclusive; 0..4096"},
    {"Cb_low", K::kNumber, "lowest Cb inside the key", "Cb scale", "inclusive; -2048..2048"},
    {"Cr_low", K::kNumber, "lowest Cr inside the key", "Cr scale", "inclusive; -2048..2048"},
    {"Y_high", K::kNumber, "highest Y inside the key", "Y scale",
     "inclusive; below the low bound: nothing is inside"},
    {"Cb_high", K::kNumber, "highest Cb inside the key", "Cb scale",
     "inclusive; below the low bound: nothing is inside"},
    {"Cr_high", K::kNumber, "highest Cr inside the key", "Cr scale",
     "inclusive; below the low bound: nothing is inside"},
    {"in", K::kNumber, "mask Y where the colour is inside", "Y scale",
     "usually 4096; kept as 16 bits"},
    {"out", K::kNumber, "mask Y where it is outside", "Y scale", "usually 0; kept as 16 bits"},
};

const CommandArgument kMaskRgbArgs[] = {
    {"source", K::kBuffer, "buffer whose colours are tested", "buffer", kBufferRange},
    {"mask", K::kBuffer, "buffer the mask is written to", "buffer", kBufferRange},
    {"sx", K::kNumber, "left of the tested rectangle", "pixels", kPositionRange},
    {"sy", K::kNumber, "top of the tested rectangle", "pixels", kPositionRange},
    {"width", K::kNumber, "width of the rectangle", "pixels", kSizeRange},
    {"height", K::kNumber, "height of the rectangle", "pixels", kSizeRange},
    {"dx", K::kNumber, "left of the mask rectangle", "pixels", kPositionRange},
    {"dy", K::kNumber, "top of the mask rectangle", "pixels", kPositionRange},
    {"R_low", K::kNumber, "lowest red inside the key", "RGB scale", "inclusive; 0..4096"},
    {"G_low", K::kNumber, "lowest green inside the key", "RGB scale", "inclusive; 0..4096"},
    {"B_low", K::kNumber, "lowest blue inside the key", "RGB scale", "inclusive; 0..4096"},
    {"R_high", K::kNumber, "highest red inside the key", "RGB scale",
     "inclusive; below the low bound: nothing is inside"},
    {"G_high", K::kNumber, "highest green inside the key", "RGB scale",
     "inclusive; below the low bound: nothing is inside"},
    {"B_high", K::kNumber, "highest blue inside the key", "RGB scale",
     "inclusive; below the low bound: nothing is inside"},
    {"in", K::kNumber, "mask Y where the colour is inside", "Y scale",
     "usually 4096; kept as 16 bits"},
    {"out", K::kNumber, "mask Y where it is outside", "Y scale", "usually 0; kept as 16 bits"},
};

// ---- copies, alpha blends and flips ----------------------------------------

// Source, destination, source rectangle and destination corner: the first
// eight arguments of copy, copy2, alpha, alpha2, flipv, fliph.
#define KINETRA_RECT_PAIR_ARGS                                                               \
    {"source", K::kBuffer, "buffer read", "buffer", kBufferRange},                           \
        {"dest", K::kBuffer, "buffer written", "buffer", kBufferRange},                      \
        {"sx", K::kNumber, "left of the source rectangle", "pixels", kPositionRange},        \
        {"sy", K::kNumber, "top of the source rectangle", "pixels", kPositionRange},         \
        {"width", K::kNumber, "width of the rectangle", "pixels", kSizeRange},               \
        {"height", K::kNumber, "height of the rectangle", "pixels", kSizeRange},             \
        {"dx", K::kNumber, "left of the destination rectangle", "pixels", kPositionRange}, { \
        "dy", K::kNumber, "top of the destination rectangle", "pixels", kPositionRange       \
    }

// Source, destination, mask, the rectangle and both corners: the first eleven
// arguments of copy3, alpha3, alpha4.
#define KINETRA_MASKED_RECT_ARGS                                                           \
    {"source", K::kBuffer, "buffer read", "buffer", kBufferRange},                         \
        {"dest", K::kBuffer, "buffer written", "buffer", kBufferRange},                    \
        {"mask", K::kBuffer, "buffer whose Y decides", "buffer", kBufferRange},            \
        {"sx", K::kNumber, "left of the source rectangle", "pixels", kPositionRange},      \
        {"sy", K::kNumber, "top of the source rectangle", "pixels", kPositionRange},       \
        {"width", K::kNumber, "width of the rectangle", "pixels", kSizeRange},             \
        {"height", K::kNumber, "height of the rectangle", "pixels", kSizeRange},           \
        {"dx", K::kNumber, "left of the destination rectangle", "pixels", kPositionRange}, \
        {"dy", K::kNumber, "top of the destination rectangle", "pixels", kPositionRange},  \
        {"mx", K::kNumber, "left of the mask rectangle", "pixels", kPositionRange}, {      \
        "my", K::kNumber, "top of the mask rectangle", "pixels", kPositionRange            \
    }

#define KINETRA_OPACITY_ARG                                                        \
    {                                                                              \
        "opacity", K::kNumber, "weight of the source", "fraction",                 \
            "0 keeps the destination .. 1 copies the source; beyond: extrapolated" \
    }

#define KINETRA_THRESHOLD_ARG(whose) \
    { "threshold", K::kNumber, "Y the " whose " must exceed", "Y scale", kThresholdRange }

const CommandArgument kCopyArgs[] = {KINETRA_RECT_PAIR_ARGS};
const CommandArgument kCopy2Args[] = {KINETRA_RECT_PAIR_ARGS, KINETRA_THRESHOLD_ARG("source")};
const CommandArgument kCopy3Args[] = {KINETRA_MASKED_RECT_ARGS, KINETRA_THRESHOLD_ARG("mask")};
const CommandArgument kAlphaArgs[] = {KINETRA_RECT_PAIR_ARGS, KINETRA_OPACITY_ARG};
const CommandArgument kAlpha2Args[] = {KINETRA_RECT_PAIR_ARGS, KINETRA_OPACITY_ARG,
                                       KINETRA_THRESHOLD_ARG("source")};
const CommandArgument kAlpha3Args[] = {KINETRA_MASKED_RECT_ARGS, KINETRA_OPACITY_ARG,
                                       KINETRA_THRESHOLD_ARG("mask")};
const CommandArgument kAlpha4Args[] = {KINETRA_MASKED_RECT_ARGS};
const CommandArgument kFlipArgs[] = {KINETRA_RECT_PAIR_ARGS};

// ---- fills and colour -------------------------------------------------------

#define KINETRA_BUFFER_RECT_ARGS(what)                                           \
    {"buffer", K::kBuffer, "buffer " what, "buffer", kBufferRange},              \
        {"x", K::kNumber, "left of the rectangle", "pixels", kPositionRange},    \
        {"y", K::kNumber, "top of the rectangle", "pixels", kPositionRange},     \
        {"width", K::kNumber, "width of the rectangle", "pixels", kSizeRange}, { \
        "height", K::kNumber, "height of the rectangle", "pixels", kSizeRange    \
    }

#define KINETRA_YC_ARGS(prefix, what)                                              \
    {prefix "Y", K::kNumber, what " brightness", "Y scale", kYRange},              \
        {prefix "Cb", K::kNumber, what " blue difference", "Cb scale", kCRange}, { \
        prefix "Cr", K::kNumber, what " red difference", "Cr scale", kCRange       \
    }

#define KINETRA_RGB_ARGS(prefix, what)                                     \
    {prefix "R", K::kNumber, what " red", "RGB scale", kRgbRange},         \
        {prefix "G", K::kNumber, what " green", "RGB scale", kRgbRange}, { \
        prefix "B", K::kNumber, what " blue", "RGB scale", kRgbRange       \
    }

const CommandArgument kFillArgs[] = {KINETRA_BUFFER_RECT_ARGS("to paint"),
                                     KINETRA_YC_ARGS("", "colour")};
const CommandArgument kFillRgbArgs[] = {KINETRA_BUFFER_RECT_ARGS("to paint"),
                                        KINETRA_RGB_ARGS("", "colour")};

#define KINETRA_FILL2_HEAD_ARGS                                                  \
    {"buffer", K::kBuffer, "buffer to paint", "buffer", kBufferRange},           \
        {"mask", K::kBuffer, "buffer whose Y decides", "buffer", kBufferRange},  \
        {"x", K::kNumber, "left of the rectangle", "pixels", kPositionRange},    \
        {"y", K::kNumber, "top of the rectangle", "pixels", kPositionRange},     \
        {"width", K::kNumber, "width of the rectangle", "pixels", kSizeRange}, { \
        "height", K::kNumber, "height of the rectangle", "pixels", kSizeRange    \
    }

#define KINETRA_FILL2_TAIL_ARGS                                                    \
    {"mx", K::kNumber, "left of the mask rectangle", "pixels", kPositionRange},    \
        {"my", K::kNumber, "top of the mask rectangle", "pixels", kPositionRange}, \
        KINETRA_THRESHOLD_ARG("mask")

const CommandArgument kFill2Args[] = {KINETRA_FILL2_HEAD_ARGS, KINETRA_YC_ARGS("", "colour"),
                                      KINETRA_FILL2_TAIL_ARGS};
const CommandArgument kFill2RgbArgs[] = {KINETRA_FILL2_HEAD_ARGS, KINETRA_RGB_ARGS("", "colour"),
                                         KINETRA_FILL2_TAIL_ARGS};

#define KINETRA_GAIN_ARG(channel)                                        \
    {                                                                    \
        channel "_gain", K::kNumber, channel " multiplied by", "factor", \
            "1 keeps, 0 zeroes, negative inverts; not clamped"           \
    }
#define KINETRA_OFFSET_ARG(channel, scale)                                           \
    {                                                                                \
        channel "_offset", K::kNumber, "added to " channel " after the gain", scale, \
            "0 keeps; result not clamped"                                            \
    }

const CommandArgument kColorArgs[] = {
    KINETRA_BUFFER_RECT_ARGS("to adjust"),
    KINETRA_GAIN_ARG("Y"),
    KINETRA_GAIN_ARG("Cb"),
    KINETRA_GAIN_ARG("Cr"),
    KINETRA_OFFSET_ARG("Y", "Y scale"),
    KINETRA_OFFSET_ARG("Cb", "Cb scale"),
    KINETRA_OFFSET_ARG("Cr", "Cr scale"),
};
const CommandArgument kColorRgbArgs[] = {
    KINETRA_BUFFER_RECT_ARGS("to adjust"),
    KINETRA_GAIN_ARG("R"),
    KINETRA_GAIN_ARG("G"),
    KINETRA_GAIN_ARG("B"),
    KINETRA_OFFSET_ARG("R", "RGB scale"),
    KINETRA_OFFSET_ARG("G", "RGB scale"),
    KINETRA_OFFSET_ARG("B", "RGB scale"),
};

// ---- resize, rotate, blurs --------------------------------------------------

const CommandArgument kResizeArgs[] = {
    {"source", K::kBuffer, "buffer read", "buffer", kBufferRange},
    {"dest", K::kBuffer, "buffer written", "buffer", kBufferRange},
    {"sx", K::kNumber, "left of the source rectangle", "pixels", kPositionRange},
    {"sy", K::kNumber, "top of the source rectangle", "pixels", kPositionRange},
    {"sw", K::kNumber, "width of the source rectangle", "pixels", kSizeRange},
    {"sh", K::kNumber, "height of the source rectangle", "pixels", kSizeRange},
    {"dx", K::kNumber, "left of the destination rectangle", "pixels", kPositionRange},
    {"dy", K::kNumber, "top of the destination rectangle", "pixels", kPositionRange},
    {"dw", K::kNumber, "width of the destination rectangle", "pixels", kSizeRange},
    {"dh", K::kNumber, "height of the destination rectangle", "pixels", kSizeRange},
};

const CommandArgument kRotateArgs[] = {
    {"source", K::kBuffer, "buffer read", "buffer", kBufferRange},
    {"dest", K::kBuffer, "buffer written", "buffer", kBufferRange},
    {"angle", K::kNumber, "turn about the rectangle's centre", "radians",
     "any; positive turns counter-clockwise on screen"},
    {"sx", K::kNumber, "left of the source rectangle", "pixels", kPositionRange},
    {"sy", K::kNumber, "top of the source rectangle", "pixels", kPositionRange},
    {"width", K::kNumber, "width of the rectangle", "pixels", kSizeRange},
    {"height", K::kNumber, "height of the rectangle", "pixels", kSizeRange},
    {"dx", K::kNumber, "left of the unturned rectangle's place", "pixels", kPositionRange},
    {"dy", K::kNumber, "top of the unturned rectangle's place", "pixels", kPositionRange},
};

const CommandArgument kMosaicArgs[] = {
    KINETRA_RECT_PAIR_ARGS,
    {"block_w", K::kNumber, "width of a block", "pixels",
     "below 1 acts as 1; above the buffer: cut"},
    {"block_h", K::kNumber, "height of a block", "pixels",
     "below 1 acts as 1; above the buffer: cut"},
};

const CommandArgument kDefocusArgs[] = {
    {"source", K::kBuffer, "buffer read", "buffer", kBufferRange},
    {"dest", K::kBuffer, "buffer written", "buffer", kBufferRange},
    {"x", K::kNumber, "left of the rectangle (the same in both)", "pixels", kPositionRange},
    {"y", K::kNumber, "top of the rectangle (the same in both)", "pixels", kPositionRange},
    {"width", K::kNumber, "width of the rectangle", "pixels", kSizeRange},
    {"height", K::kNumber, "height of the rectangle", "pixels", kSizeRange},
    {"unused1", K::kNumber, "not used", "", "write 0"},
    {"unused2", K::kNumber, "not used", "", "write 0"},
    {"radius", K::kNumber, "blur radius", "pixels", "below 2 acts as 2"},
};

const CommandArgument kDiffuseArgs[] = {
    KINETRA_RECT_PAIR_ARGS,
    {"spread_x", K::kNumber, "farthest sideways move", "pixels",
     "below 1 acts as 1; above the buffer: cut"},
    {"spread_y", K::kNumber, "farthest up or down move", "pixels",
     "below 1 acts as 1; above the buffer: cut"},
};

// ---- gamma and posterize ------------------------------------------------------

const CommandArgument kGammaArgs[] = {
    KINETRA_BUFFER_RECT_ARGS("to adjust"),
    {"gamma_Y", K::kNumber, "power curve of Y", "exponent 1/g",
     "1 keeps; above 1 brightens; 0 or below: not meaningful"},
    {"gamma_Cb", K::kNumber, "power curve of Cb", "exponent 1/g",
     "1 keeps; not a whole exponent: negative Cb become 0"},
    {"gamma_Cr", K::kNumber, "power curve of Cr", "exponent 1/g",
     "1 keeps; not a whole exponent: negative Cr become 0"},
};

#define KINETRA_LEVELS_ARG(channel)                                   \
    {                                                                 \
        "levels_" channel, K::kNumber, "levels of " channel, "count", \
            "2..4097; below 2 acts as 2, above as 4097"               \
    }

const CommandArgument kPosterizeArgs[] = {
    KINETRA_BUFFER_RECT_ARGS("to adjust"),
    KINETRA_LEVELS_ARG("Y"),
    KINETRA_LEVELS_ARG("Cb"),
    KINETRA_LEVELS_ARG("Cr"),
};
const CommandArgument kPosterizeRgbArgs[] = {
    KINETRA_BUFFER_RECT_ARGS("to adjust"),
    KINETRA_LEVELS_ARG("R"),
    KINETRA_LEVELS_ARG("G"),
    KINETRA_LEVELS_ARG("B"),
};

// ---- text -------------------------------------------------------------------

#define KINETRA_FONT_HEAD_ARGS                                                     \
    {"face", K::kFace, "font face name", "text",                                   \
     "an installed face; unknown: the nearest installed face"},                    \
        {"size", K::kNumber, "letter height", "pixels", "below 1 acts as 1"},      \
        {"bold", K::kNumber, "bold letters", "switch", "0 off, other on"},         \
        {"italic", K::kNumber, "slanted letters", "switch", "0 off, other on"}, {  \
        "underline", K::kNumber, "underlined letters", "switch", "0 off, other on" \
    }

#define KINETRA_OUTLINE_WIDTH_ARG \
    { "outline", K::kNumber, "outline width", "pixels", "0: no outline" }

const CommandArgument kFontArgs[] = {KINETRA_FONT_HEAD_ARGS, KINETRA_YC_ARGS("", "letter")};
const CommandArgument kFontRgbArgs[] = {KINETRA_FONT_HEAD_ARGS, KINETRA_RGB_ARGS("", "letter")};
const CommandArgument kFont2Args[] = {KINETRA_FONT_HEAD_ARGS, KINETRA_OUTLINE_WIDTH_ARG,
                                      KINETRA_YC_ARGS("", "letter"),
                                      KINETRA_YC_ARGS("outline_", "outline")};
const CommandArgument kFont2RgbArgs[] = {KINETRA_FONT_HEAD_ARGS, KINETRA_OUTLINE_WIDTH_ARG,
                                         KINETRA_RGB_ARGS("", "letter"),
                                         KINETRA_RGB_ARGS("outline_", "outline")};

#define KINETRA_TEXT_HEAD_ARGS                                                               \
    {"buffer", K::kBuffer, "buffer to draw into", "buffer", kBufferRange},                   \
        {"x", K::kNumber, "anchor point, across", "pixels", "any; letters outside are cut"}, \
        {"y", K::kNumber, "top of the letters", "pixels", "any; letters outside are cut"}, { \
        "align", K::kNumber, "where x is", "0, 1, 2",                                        \
            "0 text ends at x, 1 centred on x, 2 starts at x; other: nothing drawn"          \
    }

const CommandArgument kTextArgs[] = {
    KINETRA_TEXT_HEAD_ARGS,
    {"string", K::kText, "text drawn as written", "text",
     "in double quotes when it holds commas or spaces; at most 511 bytes"},
};
const CommandArgument kText2Args[] = {
    KINETRA_TEXT_HEAD_ARGS,
    {"format", K::kFormat, "printf-style format", "text",
     "only %f %e %g %a conversions (each takes the next value); other: nothing drawn"},
    {"value", K::kNumber, "numbers for the format, in order", "any", "up to 15 values"},
};

#undef KINETRA_RECT_PAIR_ARGS
#undef KINETRA_MASKED_RECT_ARGS
#undef KINETRA_OPACITY_ARG
#undef KINETRA_THRESHOLD_ARG
#undef KINETRA_BUFFER_RECT_ARGS
#undef KINETRA_YC_ARGS
#undef KINETRA_RGB_ARGS
#undef KINETRA_FILL2_HEAD_ARGS
#undef KINETRA_FILL2_TAIL_ARGS
#undef KINETRA_GAIN_ARG
#undef KINETRA_OFFSET_ARG
#undef KINETRA_LEVELS_ARG
#undef KINETRA_FONT_HEAD_ARGS
#undef KINETRA_OUTLINE_WIDTH_ARG
#undef KINETRA_TEXT_HEAD_ARGS

// ---- the table ----------------------------------------------------------------

template <typename T, size_t N>
constexpr int32_t Count(const T (&)[N]) {
    return int32_t(N);
}

#define KINETRA_ROW(name, handler, family, purpose, args) \
    { name, handler, CommandFilter::kVideo, family, purpose, args, Count(args), Count(args) }

constexpr char kFrames[] = "Frames and buffers";
constexpr char kMasks[] = "Masks";
constexpr char kCopies[] = "Copies";
constexpr char kAlphas[] = "Alpha blends";
constexpr char kFills[] = "Fills";
constexpr char kColour[] = "Flips and colour";
constexpr char kGeometry[] = "Resize and rotate";
constexpr char kBlurs[] = "Mosaic, defocus, diffuse";
constexpr char kTones[] = "Gamma and posterize";
constexpr char kText[] = "Text";
constexpr char kShapes[] = "Ellipses";

const CommandArgument kEllipseArgs[] = {
    {"buffer", K::kBuffer, "buffer to paint", "buffer", kBufferRange},
    {"cx", K::kNumber, "centre, across", "pixels", kPositionRange},
    {"cy", K::kNumber, "centre, down", "pixels", kPositionRange},
    {"a", K::kNumber, "half the width", "pixels", "below 1: the line does nothing"},
    {"b", K::kNumber, "half the height", "pixels", "below 1: the line does nothing"},
    {"Y", K::kNumber, "colour brightness", "Y scale", kYRange},
    {"Cb", K::kNumber, "colour blue difference", "Cb scale", kCRange},
    {"Cr", K::kNumber, "colour red difference", "Cr scale", kCRange},
};
const CommandArgument kEllipseRgbArgs[] = {
    {"buffer", K::kBuffer, "buffer to paint", "buffer", kBufferRange},
    {"cx", K::kNumber, "centre, across", "pixels", kPositionRange},
    {"cy", K::kNumber, "centre, down", "pixels", kPositionRange},
    {"a", K::kNumber, "half the width", "pixels", "below 1: the line does nothing"},
    {"b", K::kNumber, "half the height", "pixels", "below 1: the line does nothing"},
    {"R", K::kNumber, "colour red", "RGB scale", kRgbRange},
    {"G", K::kNumber, "colour green", "RGB scale", kRgbRange},
    {"B", K::kNumber, "colour blue", "RGB scale", kRgbRange},
};

const CommandRow kVideoRows[] = {
    KINETRA_ROW("readimage", cmd_readimage, kFrames, "loads a picture file into a buffer",
                kReadImageArgs),
    KINETRA_ROW("readvideo", cmd_readvideo, kFrames,
                "loads a frame of another video file into a buffer", kReadVideoArgs),
    KINETRA_ROW("copyframe", cmd_copyframe, kFrames,
                "copies a rectangle of any frame of the project into a buffer", kCopyFrameArgs),
    KINETRA_ROW("mkmask", cmd_mkmask, kMasks,
                "makes a mask from a Y/Cb/Cr colour key: in where the colour lies in the box",
                kMaskArgs),
    KINETRA_ROW("mkmask_rgb", cmd_mkmask_rgb, kMasks,
                "makes a mask from an R/G/B colour key: in where the colour lies in the box",
                kMaskRgbArgs),
    KINETRA_ROW("copy", cmd_copy, kCopies, "copies a rectangle from one buffer to another",
                kCopyArgs),
    KINETRA_ROW("copy2", cmd_copy2, kCopies,
                "copies the pixels of a rectangle whose Y is above a threshold", kCopy2Args),
    KINETRA_ROW("copy3", cmd_copy3, kCopies,
                "copies a rectangle where a mask's Y is above a threshold", kCopy3Args),
    KINETRA_ROW("alpha", cmd_alpha, kAlphas,
                "blends a rectangle over another buffer with one opacity", kAlphaArgs),
    KINETRA_ROW("alpha2", cmd_alpha2, kAlphas,
                "blends the pixels of a rectangle whose Y is above a threshold", kAlpha2Args),
    KINETRA_ROW("alpha3", cmd_alpha3, kAlphas,
                "blends a rectangle where a mask's Y is above a threshold", kAlpha3Args),
    KINETRA_ROW("alpha4", cmd_alpha4, kAlphas,
                "blends a rectangle with each pixel's opacity taken from a mask's Y", kAlpha4Args),
    {"swapbuf", cmd_swapbuf, CommandFilter::kVideo, kFrames,
     "exchanges buffers 0 and 1 (the picture and the spare picture)", nullptr, 0, 0},
    KINETRA_ROW("dispsize", cmd_dispsize, kFrames, "sets the size of the output picture",
                kDispSizeArgs),
    KINETRA_ROW("fill", cmd_fill, kFills, "paints a rectangle in a Y/Cb/Cr colour", kFillArgs),
    KINETRA_ROW("fill_rgb", cmd_fill_rgb, kFills, "paints a rectangle in an R/G/B colour",
                kFillRgbArgs),
    KINETRA_ROW("fill2", cmd_fill2, kFills,
                "paints a Y/Cb/Cr colour where a mask's Y is above a threshold", kFill2Args),
    KINETRA_ROW("fill2_rgb", cmd_fill2_rgb, kFills,
                "paints an R/G/B colour where a mask's Y is above a threshold", kFill2RgbArgs),
    KINETRA_ROW("color", cmd_color, kColour,
                "adjusts Y, Cb, Cr of a rectangle by a gain and an offset each", kColorArgs),
    KINETRA_ROW("color_rgb", cmd_color_rgb, kColour,
                "adjusts R, G, B of a rectangle by a gain and an offset each", kColorRgbArgs),
    KINETRA_ROW("resize", cmd_resize, kGeometry,
                "scales a rectangle onto a rectangle of any size (bilinear)", kResizeArgs),
    KINETRA_ROW("rotate", cmd_rotate, kGeometry,
                "turns a rectangle about its centre and draws it elsewhere", kRotateArgs),
    KINETRA_ROW("flipv", cmd_flipv, kColour, "copies a rectangle mirrored top to bottom",
                kFlipArgs),
    KINETRA_ROW("fliph", cmd_fliph, kColour, "copies a rectangle mirrored left to right",
                kFlipArgs),
    KINETRA_ROW("mosaic", cmd_mosaic, kBlurs,
                "copies a rectangle as blocks of their average colour", kMosaicArgs),
    KINETRA_ROW("defocus", cmd_defocus, kBlurs, "blurs a rectangle (Gaussian)", kDefocusArgs),
    KINETRA_ROW("gamma", cmd_gamma, kTones, "applies a power curve to Y, Cb and Cr", kGammaArgs),
    KINETRA_ROW("diffuse", cmd_diffuse, kBlurs,
                "copies a rectangle with each pixel taken from a random neighbour", kDiffuseArgs),
    KINETRA_ROW("font", cmd_font, kText, "sets the text style with a Y/Cb/Cr colour, no outline",
                kFontArgs),
    KINETRA_ROW("font_rgb", cmd_font_rgb, kText,
                "sets the text style with an R/G/B colour, no outline", kFontRgbArgs),
    KINETRA_ROW("font2", cmd_font2, kText,
                "sets the text style with an outline, colours in Y/Cb/Cr", kFont2Args),
    KINETRA_ROW("font2_rgb", cmd_font2_rgb, kText,
                "sets the text style with an outline, colours in R/G/B", kFont2RgbArgs),
    KINETRA_ROW("text", cmd_text, kText, "draws a string in the current text style", kTextArgs),
    {"text2", cmd_text, CommandFilter::kVideo, kText,
     "draws numbers formatted by a printf-style format", kText2Args, Count(kText2Args),
     kCommandArgumentLimit},
    KINETRA_ROW("posterize", cmd_posterize, kTones,
                "reduces Y, Cb and Cr to a number of levels each", kPosterizeArgs),
    KINETRA_ROW("posterize_rgb", cmd_posterize_rgb, kTones,
                "reduces R, G and B to a number of levels each", kPosterizeRgbArgs),
    KINETRA_ROW("ellipse", cmd_ellipse, kShapes, "paints a filled ellipse in a Y/Cb/Cr colour",
                kEllipseArgs),
    KINETRA_ROW("ellipse_rgb", cmd_ellipse_rgb, kShapes,
                "paints a filled ellipse in an R/G/B colour", kEllipseRgbArgs),
};

#undef KINETRA_ROW

}  // namespace

const CommandTable kVideoCommandTable = {kVideoRows, Count(kVideoRows)};
