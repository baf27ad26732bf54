// Reading the script once, as the plug-in would: where it lies (the
// kinetra.txt in the source's directory), whether the plug-in could read it
// (a regular, readable file whose path fits the plug-in's script path), its
// text, and what the host needs to know of it before it renders: how far its
// section headers lengthen the project, which files its readvideo,
// a_readvideo and readimage lines name, whether it makes sound and whether
// it may change the project's sound. The lines are read with the plug-in's
// own loader. The checker's findings are computed later from the same text
// (check.h), once the project's length is known.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ScriptFacts {
    // The largest frame number that ends a section ([a-b], [-b]), where it
    // stands (line numbers from 1) and the header as written; 0: none.
    int64_t longest_end = 0;
    int32_t longest_end_line = 0;
    std::string longest_end_header;
    // The media and picture files the script names, against its directory.
    std::vector<std::string> media_files;
    // Some line runs an audio command (a_...).
    bool has_audio_commands = false;
    // Some line's audio command may write the project's sound (audio buffer
    // 0): its destination is not a plain number naming another buffer.
    bool changes_sound = false;
    // Some line runs a video command: without one the picture is left alone.
    bool has_video_commands = false;
    // Some video line may read or write the plug-in's second image (buffer
    // 1): a swapbuf, or a buffer argument that is not a plain number naming
    // another buffer.
    bool uses_second_image = false;
};

// A script as ReadScript found it.
struct ScriptRead {
    std::string path;     // as given to ReadScript
    bool exists = false;  // something is at `path`
    bool read = false;    // `text` is the whole file
    bool utf8 = false;    // `text` is read as UTF-8 (else Shift-JIS)
    std::string text;
    ScriptFacts facts;  // from `text`
};

// Why a script saved as UTF-16 (it starts with that byte-order mark) is not
// read: the plug-in runs none of it rather than misread it.
extern const char kUtf16ScriptRefusal[];

// The script the plug-in runs for a source: the kinetra.txt in the source's
// directory ("./kinetra.txt" for a bare file name).
std::string ScriptBeside(const std::string& source);

// Reads the script at `path` once: only a regular file, never waiting on a
// FIFO or a device. False with `error` (e.g. "cannot read the script (Is a
// directory)", kUtf16ScriptRefusal) when a script is there but the plug-in
// could not use it; a
// missing script is no error (`exists` false). A script whose path is too
// long for the plug-in is refused but still read (`read` true), so that
// `kinetra check` can list its findings.
bool ReadScript(const std::string& path, ScriptRead* script, std::string* error);

// Looks at the script's text (`directory` ends with '/').
void ScanScript(const std::string& text, const std::string& directory, ScriptFacts* facts);
