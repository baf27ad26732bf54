// The audio filter's command table: every audio command in the order in
// which a script line is offered to them, with its arguments described for
// the help, the script checker and the reference. A command is one row here
// plus its handler in the family's file.
#include "audio/audio_commands.h"
#include <cstddef>

#include "script/command_table.h"

namespace {

using K = ArgumentKind;

constexpr char kBufferRange[] = "0..9 (0 is the sound heard); other: the line does nothing";
constexpr char kLevelRange[] = "0..1; other: the line does nothing";

const CommandArgument kReadVideoArgs[] = {
    {"buffer", K::kBuffer, "buffer to fill", "buffer", kBufferRange},
    {"frame", K::kNumber, "frame of the file whose sound is read", "frames (rounded down)",
     "0 .. the file's last frame; other: buffer unchanged"},
    {"file", K::kFile, "video file", "file name",
     "relative to the script's folder; unreadable or silent: buffer unchanged"},
};

const CommandArgument kCopyFrameArgs[] = {
    {"buffer", K::kBuffer, "buffer to fill", "buffer", kBufferRange},
    {"frame", K::kNumber, "frame of the project whose sound is copied", "frames (rounded down)",
     "outside the project: silence"},
};

const CommandArgument kCopyFrame2Args[] = {
    {"buffer", K::kBuffer, "buffer to fill", "buffer", kBufferRange},
    {"start", K::kNumber, "where the played span starts", "frames (fractions count)", "any"},
    {"end", K::kNumber, "where it ends", "frames (fractions count)",
     "above start; otherwise the line does nothing"},
};

const CommandArgument kCopyArgs[] = {
    {"source", K::kBuffer, "buffer read", "buffer", kBufferRange},
    {"dest", K::kBuffer, "buffer written", "buffer", kBufferRange},
};

const CommandArgument kVolumeArgs[] = {
    {"buffer", K::kBuffer, "buffer to change", "buffer", kBufferRange},
    {"start_gain", K::kNumber, "gain at the block's first sample", "factor",
     "1 keeps, 0 silences; above 1 loud samples wrap around"},
    {"end_gain", K::kNumber, "gain the ramp reaches after the block", "factor", "as start_gain"},
    {"channels", K::kNumber, "channels changed", "0, 1, 2",
     "0 both, 1 left, 2 right; other: the line does nothing"},
};

const CommandArgument kBlendArgs[] = {
    {"source", K::kBuffer, "buffer added", "buffer", kBufferRange},
    {"dest", K::kBuffer, "buffer added to", "buffer", kBufferRange},
};

const CommandArgument kSwapArgs[] = {
    {"buffer", K::kBuffer, "buffer to change", "buffer", kBufferRange},
};

const CommandArgument kMonoArgs[] = {
    {"buffer", K::kBuffer, "buffer to change", "buffer", kBufferRange},
    {"mode", K::kNumber, "what both channels get", "0, 1, 2",
     "0 the average, 1 the left, 2 the right; other: the line does nothing"},
};

const CommandArgument kReverseArgs[] = {
    {"source", K::kBuffer, "buffer read", "buffer", kBufferRange},
    {"dest", K::kBuffer, "buffer written backwards", "buffer", kBufferRange},
};

const CommandArgument kNoiseArgs[] = {
    {"buffer", K::kBuffer, "buffer to fill", "buffer", kBufferRange},
    {"level", K::kNumber, "loudness", "fraction of full scale", kLevelRange},
};

const CommandArgument kToneArgs[] = {
    {"buffer", K::kBuffer, "buffer to fill", "buffer", kBufferRange},
    {"frequency", K::kNumber, "pitch", "Hz (whole numbers)", "any; fractions are dropped"},
    {"wave", K::kNumber, "wave shape", "0, 1", "1 square, anything else sine"},
    {"level", K::kNumber, "loudness", "fraction of full scale", kLevelRange},
};

const CommandArgument kVoiceChangeArgs[] = {
    {"buffer", K::kBuffer, "buffer to change", "buffer", kBufferRange},
    {"frequency", K::kNumber, "carrier multiplied in", "Hz", "any; 0 silences"},
};

template <typename T, size_t N>
constexpr int32_t Count(const T (&)[N]) {
    return int32_t(N);
}

#define KINETRA_ROW(name, handler, family, purpose, args) \
    { name, handler, CommandFilter::kAudio, family, purpose, args, Count(args), Count(args) }

constexpr char kCopying[] = "Audio buffers and copying";
constexpr char kMixing[] = "Audio mixing";
constexpr char kSynthesis[] = "Audio synthesis";

const CommandRow kAudioRows[] = {
    KINETRA_ROW("a_readvideo", cmd_a_readvideo, kCopying,
                "reads the sound of a frame of another video file into a buffer", kReadVideoArgs),
    KINETRA_ROW("a_copyframe", cmd_a_copyframe, kCopying,
                "copies the project's sound of one frame into a buffer", kCopyFrameArgs),
    KINETRA_ROW("a_copyframe2", cmd_a_copyframe2, kCopying,
                "plays a span of the project's sound squeezed or stretched into one block",
                kCopyFrame2Args),
    KINETRA_ROW("a_copy", cmd_a_copy, kCopying, "copies one buffer into another", kCopyArgs),
    KINETRA_ROW("a_volume", cmd_a_volume, kMixing,
                "scales a buffer by a gain that ramps across the block", kVolumeArgs),
    KINETRA_ROW("a_blend", cmd_a_blend, kMixing, "adds one buffer into another", kBlendArgs),
    KINETRA_ROW("a_swap", cmd_a_swap, kMixing, "exchanges left and right", kSwapArgs),
    KINETRA_ROW("a_mono", cmd_a_mono, kMixing, "gives both channels the same sound", kMonoArgs),
    KINETRA_ROW("a_reverse", cmd_a_reverse, kMixing, "copies a block backwards", kReverseArgs),
    KINETRA_ROW("a_noise", cmd_a_noise, kSynthesis, "fills a buffer with white noise", kNoiseArgs),
    KINETRA_ROW("a_tone", cmd_a_tone, kSynthesis, "fills a buffer with a sine or square tone",
                kToneArgs),
    KINETRA_ROW("a_voicechg", cmd_a_voicechg, kSynthesis,
                "multiplies a buffer by a sine carrier (ring modulation)", kVoiceChangeArgs),
};

#undef KINETRA_ROW

}  // namespace

const CommandTable kAudioCommandTable = {kAudioRows, Count(kAudioRows)};
