// The host's large pictures (frames read ahead, the plug-in's two images, the
// frame cache, frames waiting for the encoder): vectors of pixels whose
// storage comes from page_memory, with all its pages present and zero, and
// whose resize writes nothing. Every user overwrites what it resizes (the
// conversion of a decoded frame, a copy, or an explicit fill).
#pragma once

#include <vector>

#include "common/page_memory.h"
#include "kinetra/plugin_abi.h"

using PixelBuffer = std::vector<PixelYC, page_memory::PageAllocator<PixelYC>>;
