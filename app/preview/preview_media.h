// The preview's pictures and sound as files for the browser: PNG frames and
// WAV sound, made in memory.
#pragma once

#include <string>

#include "preview/preview_engine.h"

// The frame as an 8-bit RGB PNG (the colour conversion of the render's
// encoder); false with `error`.
bool EncodeFramePng(const RenderedFrame& frame, std::string* png, std::string* error);

// The sound as a 16-bit PCM WAV file.
std::string EncodeWav(const RenderedAudio& audio);
