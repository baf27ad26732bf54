// Picture files (PNG, JPEG, BMP, ...) as the host reads them for a script's
// readimage line: the first picture of the file's video stream, decoded by
// FFmpeg, refused above a size no buffer could use. The media services load
// pictures this way and the checker tries the files a script names the same
// way, so both refuse the same files for the same reasons.
#pragma once

#include <cstdint>
#include <string>

#include "base/ffmpeg_util.h"

// Pictures larger than this are not read (a small file can hold a huge one).
constexpr int64_t kMaxPicturePixels = 64 * 1000 * 1000;

// Decodes the first picture of the file at `path` into `frame`; false with
// `error`: FFmpeg's reason when the file cannot be opened, "not a picture",
// the size of a picture above kMaxPicturePixels, or "cannot decode the
// picture".
bool DecodeFirstPicture(const std::string& path, FramePtr* frame, std::string* error);
