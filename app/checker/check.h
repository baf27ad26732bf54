// The script checker: reads a script with the plug-in's own loader and
// formula compiler and lists what would silently go wrong when it runs
// (unknown commands, arguments that do not compile, jumps to missing labels,
// sections that never apply, missing files, unknown font faces, ...).
// `kinetra check` prints its findings, `kinetra render` prints them first,
// and the preview shows them beside the script. Files the script names are
// tried as the host would read them, so that a missing or broken file is
// told here, once, with its line.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "checker/script_check.h"
#include "kinetra/plugin_abi.h"

enum class FindingSeverity { kError, kWarning };

struct ScriptFinding {
    int32_t line;  // 1-based line of the file; 0: the file as a whole
    FindingSeverity severity;
    // UTF-8: the script text it quotes converted from the script's encoding,
    // with control characters written out (base/shown_text.h).
    std::string message;
};

struct ScriptCheck {
    std::string path;    // the script checked
    bool read = false;   // false: the file could not be read (one finding says why)
    bool utf8 = false;   // the script was read as UTF-8 (else Shift-JIS)
    bool ascii = false;  // every byte is ASCII: it reads the same in both encodings
    std::vector<ScriptFinding> findings;  // in the order of the file
    // Line of the file for each record of the loaded table, in table order
    // (the plug-in keeps the same number in each record, for its run-time
    // reports).
    std::vector<int32_t> record_lines;
    // Every file a line names (as the host opens it: relative names joined
    // to the script's directory) with the line.
    std::vector<std::pair<std::string, int32_t>> files;
    // The files a finding says cannot be read (missing, not a regular file,
    // or not what the line reads: no picture, no video stream), as absolute
    // paths (as the media services name them), each with the line the
    // finding is on, in the order of the file. What the media services or
    // the plug-in's run-time failures would say of them later only repeats
    // these findings.
    std::vector<std::pair<std::string, int32_t>> reported_files;

    int32_t errors() const;
    int32_t warnings() const;
};

// What the checker knows about the project besides the script.
struct CheckContext {
    int32_t frame_count = -1;  // the project's length; -1: unknown (no length warnings)
};

// The script a `kinetra check` argument stands for: a directory's
// kinetra.txt, a .txt file itself, or the kinetra.txt next to a source video
// (named as the argument names it: "clip.mp4" gives "kinetra.txt").
std::string ScriptPathFor(const std::string& source_or_script);

// Reads the script file at `path` (ReadScript) and checks it; a script that
// cannot be read has one finding saying why.
ScriptCheck CheckScriptFile(const std::string& path, const CheckContext& context);
// Checks script text (as it would be saved at `path`: relative file names are
// looked for in its directory). Text saved as UTF-16 is not read: one finding
// says so.
ScriptCheck CheckScriptText(const std::string& text, const std::string& path,
                            const CheckContext& context);

// "PATH:LINE: error: message" (warnings say "warning:").
std::string FormatFinding(const std::string& path, const ScriptFinding& finding);
// "PATH: 2 errors, 1 warning (read as UTF-8)" ("(ASCII)" when either
// encoding reads it alike).
std::string FormatCheckSummary(const ScriptCheck& check);

// The known command name nearest to `name`, or empty when none is close.
std::string NearestCommandName(const std::string& name);

// The check `kinetra render` runs first, on the text ReadScript read, once
// the project's length is known: prints the findings to stderr (at most 20
// lines, then the count) when there are any; true when no error. Fills
// `check` when given.
bool ReportScriptCheck(const ScriptRead& script, int32_t frame_count, ScriptCheck* check = nullptr);
// The same check without printing, and the printing alone (true when the
// check found no error): a host that may check one script more than once
// prints it once.
ScriptCheck CheckForRender(const ScriptRead& script, int32_t frame_count);
bool PrintScriptCheck(const ScriptCheck& check);

// A run-time failure report of the plug-in, as render prints it:
// "PATH:LINE: error at frame F: message", the message (script text) shown
// from the script's encoding (`utf8`, else Shift-JIS).
std::string FormatRunFailure(const std::string& path, const KinetraRunFailure& failure, bool utf8);

// "script line 3, 7" for each file the check saw named.
std::map<std::string, std::string> FileLineNotes(const ScriptCheck& check);

// What a check told, not to be told again at run time: the files it
// reported, their lines, and those lines with the lines of its errors.
struct CheckTold {
    std::set<std::string> files;
    std::set<int32_t> file_lines;
    std::set<int32_t> lines;
};
CheckTold ToldByCheck(const ScriptCheck& check);

// `kinetra check TARGET` (a source video, a script or a directory; empty:
// ./kinetra.txt): prints the findings and the summary to stdout, and for a
// source its frame rate; exit 0 when there are no errors (with
// `strict_warnings`: no warnings either), 1 otherwise.
int RunCheck(const std::string& target, bool strict_warnings = false);

// "clip.mp4: 300 frames at 29.97 fps: one second is 30 frames (1280 x 720)".
std::string FormatSourceFacts(const std::string& source, int32_t frame_count, double fps,
                              int32_t width, int32_t height);
