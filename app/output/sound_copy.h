// The source's sound taken into an output as it is: the packets of the audio
// stream the project reads, handed over unchanged in the order of the file,
// with their time stamps moved so that 0 is the start of the source's video
// (where an encoded render's first sample lies). Packets are handed over up
// to a position that grows with the render, so that they interleave with the
// pictures. A packet that straddles an end is kept whole (coded sound cannot
// be cut between its samples), except PCM, which is cut at the exact sample;
// of the packets that start before the video only the last is kept, the one
// the decoder needs to sound the first (AAC's priming frame).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "base/ffmpeg_util.h"

// Whether `codec` is plain PCM: packets of nothing but samples.
bool IsPcmCodec(AVCodecID codec);

class SoundCopy {
  public:
    // Receives a packet to write, its stamps in time_base(); false stops the
    // copy (the write failed, its reason in the caller's hands).
    using PacketWriter = std::function<bool(AVPacket* packet)>;

    // Opens `source`'s main audio stream; `zero_seconds` is the source time
    // that output time 0 stands for. False with `error` when there is none,
    // or its packets cannot be placed: a container whose stamps may start
    // again part way (transport streams) or a stream with no time base.
    bool Open(const std::string& source, double zero_seconds, std::string* error);

    const AVCodecParameters* parameters() const;
    AVRational time_base() const;
    // Whether the first packet starts after the video does (a container
    // that keeps no time stamps would lose that start). False when reading
    // fails (CopyUntil reports it).
    bool StartsLate();

    // Hands over the packets not handed yet that start before `end`, a
    // position in units of `base` from the video's start. A PCM packet
    // waits until it ends by `end`, unless `end` is the output's end
    // (`last`), where it is cut. False when reading failed (`error` set) or
    // `write` did.
    bool CopyUntil(int64_t end, AVRational base, bool last, const PacketWriter& write,
                   std::string* error);

  private:
    // Reads the stream's next packet into next_, stamped from the video's
    // start (next_valid_); at the end next_valid_ stays false.
    bool ReadNext(std::string* error);
    bool CutPcm(AVPacket* packet, int64_t from, int64_t to) const;
    AVPacket* TakePcm(int64_t until);
    AVPacket* TakeCoded();
    AVPacket* PlaceBeforeZero();

    InputPtr input_;
    int stream_ = -1;
    double zero_seconds_ = 0;  // the video's start
    int64_t zero_ = 0;         // the same in stream time
    int32_t pcm_block_ = 0;    // bytes per sample frame of a PCM stream, else 0
    int64_t next_stamp_ = 0;   // where the next packet starts (PCM, or no stamp)
    PacketPtr next_;           // read, not handed over yet (next_valid_)
    PacketPtr before_;         // the latest packet before 0 (before_valid_)
    bool next_valid_ = false;
    bool before_valid_ = false;
    bool placed_ = false;  // a PCM stream's first packet has been read
    bool ended_ = false;
};
