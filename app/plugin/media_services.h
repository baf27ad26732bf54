// The services through which scripts read other files: video clips (frames
// and audio) and still pictures, decoded with FFmpeg and drawn top-left into
// the project's max_w x max_h buffers, cut at their edges.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "kinetra/plugin_abi.h"

// The size of the plug-in's image buffers (the project's size).
void SetMediaBufferSize(int32_t max_w, int32_t max_h);
// Whether notes (not warnings) are printed, as render's --quiet asks.
void SetMediaNotes(bool shown);
// The sample frames of the audio call in progress: read_media_audio writes
// at most twice that many, the room the plug-in's audio buffers have.
void SetMediaAudioBlock(int32_t sample_count);

// Fills the media and image slots of the service table.
void FillMediaServices(HostServices* services);

// Closes every file still open and forgets every failure and cached picture
// (at the end of a render).
void CloseAllMedia();

// Where the script names each file (absolute path -> "script line 3, 7"),
// added to the one warning a file that cannot be read gets.
void SetMediaFileNotes(const std::map<std::string, std::string>& notes);

// Every file the media services were asked to open since the last
// CloseAllMedia (absolute paths, whether the open succeeded or not).
std::vector<std::string> MediaFilesOpened();

// Pictures decoded by load_image_file so far (a picture is decoded once per
// name and modification; for tests).
int64_t PicturesDecoded();
// Files handed to the decoders so far, clips and pictures (for tests).
int64_t MediaFilesTried();

// Frames decoded by the media services so far (for tests and benchmarks).
int64_t MediaFramesDecoded();
