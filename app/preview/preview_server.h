// The preview's web server: the page, frames, sound and the JSON interface,
// on 127.0.0.1 only.
//
//   GET  /                      the page (and /preview.css, /preview.js)
//   GET  /frame/N.png           the video filter's output for frame N
//   GET  /audio/N.wav?frames=K  the audio filter's output for frames N..N+K-1
//   GET  /api/project           size, rate, length, sliders, script, findings and
//                               the run-time failures of the script as last loaded
//   GET  /api/sliders           {"values": [ten slider positions]}
//   PUT  /api/sliders           the same, to set them
//   GET  /api/events            server-sent events: script, project, sliders, export
//   POST /api/export            renders the project next to the source (no body
//                               needed): SOURCE-kinetra.mp4, then -2, -3, ...
//   GET  /api/export            the export's progress
//   DELETE /api/export          stops the running export (frames done: NAME.partial.mp4)
//
// Requests whose Host is not this server's address, requests from other
// pages (Origin, Sec-Fetch-Site) and state-changing requests without this
// server's Origin are refused. Bodies are taken only with their length (none
// given: no body) and are bounded; a request must arrive within a deadline
// (preview_http.h).
// Every text sent is UTF-8, whatever bytes the names and the script hold
// (preview_text.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

class PreviewEngine;

struct PreviewServerOptions {
    std::string source;   // absolute path
    std::string plugin;   // path of kinetra.auf
    std::string program;  // the kinetra program, which renders the export
    int32_t port = 0;     // 0: an unused port
    int32_t threads = 0;  // 0: the machine's cores
    // How long a client may take to send a request, from its first byte.
    std::chrono::milliseconds request_deadline{5000};
};

class PreviewServer {
  public:
    PreviewServer();
    ~PreviewServer();
    PreviewServer(const PreviewServer&) = delete;
    PreviewServer& operator=(const PreviewServer&) = delete;

    // Loads the plug-in and the source, binds and starts serving on threads
    // of its own; false with `error`.
    bool Start(const PreviewServerOptions& options, std::string* error);
    // Ends every event stream and request, stops the export, calls the
    // plug-in's exit and unloads it.
    void Stop();

    int port() const;
    // "http://127.0.0.1:PORT/"
    std::string address() const;
    PreviewEngine& engine();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
