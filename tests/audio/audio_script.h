// Helpers for the audio command tests: a test host running one script for
// audio blocks, with one or two channels.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/test_host.h"

namespace audiotest {

// Samples of a block as (left, right) or single values, interleaved.
using Samples = std::vector<int16_t>;

// The project audio of every frame: one sample value for every position.
inline void SetConstantAudio(testhost::TestHost* host, int16_t left, int16_t right) {
    int32_t channels = host->channels;
    host->project_sample = [=](int32_t, int32_t s) {
        return channels == 2 && s % 2 == 1 ? right : left;
    };
}

// A host of `channels` channels with the script written into its project,
// every line in the section [0-99].
inline void UseScript(testhost::TestHost* host, int32_t channels, const std::string& lines) {
    host->channels = channels;
    host->WriteScript("[0-99]\n" + lines);
}

// Sample frame i, channel ch of a block.
inline int16_t At(const Samples& block, int32_t channels, int32_t i, int32_t ch = 0) {
    return block[size_t(i) * channels + ch];
}

}  // namespace audiotest
