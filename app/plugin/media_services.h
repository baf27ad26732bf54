// The services through which scripts read other files: video clips (frames
// and audio) and still pictures, decoded with FFmpeg and drawn top-left into
// the project's max_w x max_h buffers, cut at their edges.
//
// All that the services hold (open files, decoded pictures, the failures and
// warnings already given) lives in one MediaServices object. The plug-in's
// service slots carry no context of their own (load_image_file and
// open_media_file are called with a name only), so one object at a time is
// bound to them; the filter runner binds its own for a run and unbinds it at
// the end.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "kinetra/plugin_abi.h"

class MediaServices {
  public:
    MediaServices();
    // Closes every file still open.
    ~MediaServices();
    MediaServices(const MediaServices&) = delete;
    MediaServices& operator=(const MediaServices&) = delete;

    // Makes `media` the object the service slots serve (null: none; the slots
    // then fail as for a file that cannot be read).
    static void Bind(MediaServices* media);
    // Fills the media and image slots of the service table.
    static void FillSlots(HostServices* services);

    // The size of the plug-in's image buffers (the project's size).
    void SetBufferSize(int32_t max_w, int32_t max_h);
    // Whether notes (not warnings) are printed, as render's --quiet asks.
    void SetNotesShown(bool shown);
    // The sample frames of the audio call in progress: read_media_audio
    // writes at most twice that many, the room the plug-in's audio buffers
    // have.
    void SetAudioBlock(int32_t sample_count);
    // Where the script names each file (absolute path -> "script line 3, 7"),
    // added to the one warning a file that cannot be read gets.
    void SetFileNotes(const std::map<std::string, std::string>& notes);
    // Files whose trouble was already told the user (by the check before the
    // render): the services fail on them as before, without a warning.
    void SetToldFiles(const std::set<std::string>& paths);

    // Closes every file still open and forgets every failure and cached
    // picture.
    void CloseAll();

    // Every file the services were asked to open since the last CloseAll
    // (absolute paths, whether the open succeeded or not).
    std::vector<std::string> FilesOpened() const;
    // Pictures decoded by load_image_file so far (a picture is decoded once
    // per name and modification).
    int64_t pictures_decoded() const;
    // Files handed to the decoders so far, clips and pictures.
    int64_t files_tried() const;
    // Frames of clips decoded so far.
    int64_t frames_decoded() const;

    struct State;

  private:
    std::unique_ptr<State> state_;
};
