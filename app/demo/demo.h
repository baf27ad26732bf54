// `kinetra demo [DIR]`: writes a synthetic source clip, the built-in demo
// script next to it, renders DIR/output.mp4 and a contact sheet of a few
// output frames, DIR/contact-sheet.png.
#pragma once

#include <cstdint>
#include <string>

#include "base/worker_pool.h"
#include "colour/colour.h"

struct DemoOptions {
    std::string directory = "kinetra-demo";
    int32_t threads = 0;
    bool quiet = false;
    std::string plugin;
};

// The demo script (app/demo/demo_script.txt, embedded at build time).
extern const char kDemoScript[];

// Runs the demo; returns the exit status.
int RunDemo(const DemoOptions& options);

// The synthetic source: `frames` frames of width x height at 30 fps with
// moving shapes, and a 440 Hz tone at 48000 Hz in stereo. False with `error`.
bool WriteDemoSource(const std::string& path, int32_t width, int32_t height, int32_t frames,
                     std::string* error);

// Draws frame f of the synthetic source, its rows shared among `pool`'s
// threads (one thread when null).
void DrawDemoFrame(int32_t f, PictureYC* picture, WorkerPool* pool = nullptr);

// Writes a YC picture as a PNG file.
bool WritePicturePng(const std::string& path, const PictureYC& picture, std::string* error);
