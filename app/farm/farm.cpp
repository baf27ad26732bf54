#include "farm/farm.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <cstdio>
#include <fstream>
#include <set>

#include "base/exit_status.h"
#include "base/ffmpeg_util.h"
#include "base/paths.h"
#include "checker/script_check.h"
#include "checker/segment_safety.h"
#include "farm/join.h"
#include "farm/plan.h"
#include "farm/run_program.h"
#include "output/overwrite.h"
#include "plugin/plugin_loader.h"
#include "source/project.h"

namespace {

void Fail(const std::string& what, const std::string& reason) {
    std::fprintf(stderr, "kinetra: %s: %s\n", what.c_str(), reason.c_str());
}

bool Exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

bool MakeDirectory(const std::string& path) {
    return mkdir(path.c_str(), 0777) == 0 || errno == EEXIST;
}

// Where a source's joined render goes: OUT itself for one source, else
// OUT/NAME.EXT (.mkv for --lossless, .mp4 otherwise).
std::string OutputFor(const FarmOptions& o, const std::string& source) {
    if (o.sources.size() == 1) return AbsolutePath(o.output);
    std::string name = BaseName(source);
    name = name.substr(0, name.rfind('.'));
    return AbsolutePath(o.output) + "/" + name + (o.render.encode.lossless ? ".mkv" : ".mp4");
}

// The project a source makes: its length with the sections' lengthening, its
// frame rate and its sound; the files it depends on go into the hashes.
bool AddSource(const FarmOptions& o, const std::string& path, FarmPlan* plan, std::string* error) {
    FarmSource s;
    s.path = AbsolutePath(path);
    s.output = OutputFor(o, path);
    Project project;
    if (!project.Open(s.path, error)) return false;
    ScriptRead script;
    std::string script_path = ScriptBeside(s.path);
    if (!ReadScript(script_path, &script, error)) {
        *error = script_path + ": " + *error;
        return false;
    }
    s.frames = int32_t(std::max<int64_t>(project.frame_count(), script.facts.longest_end));
    s.frame_rate = project.frame_rate();
    if ((project.has_audio() || script.facts.has_audio_commands) && o.render.encode.audio) {
        s.audio_rate = project.audio_rate();
        s.channels = project.channels();
    }
    std::vector<std::string> files = script.facts.media_files;
    files.push_back(s.path);
    if (script.exists) files.push_back(AbsolutePath(script_path));
    for (const std::string& file : files) {
        if (plan->hashes.count(file) != 0 || !Exists(file)) continue;
        plan->hashes[file] = HashFile(file, error);
        if (plan->hashes[file].empty()) return false;
    }
    SegmentSafety safety = AnalyseSegments(script.text, project.frame_count());
    if (!safety.safe() && !o.render.quiet) {
        std::fprintf(stderr,
                     "kinetra: note: %s carries state from frame to frame (kinetra check %s "
                     "says where): segments warm up from an earlier frame\n",
                     script_path.c_str(), path.c_str());
    }
    plan->sources.push_back(s);
    return true;
}

// The render options for the segments: the sound always as PCM (the join
// encodes it once), the output's own sound codec and rate kept for the join,
// and the options of how a run talks and replaces left to the segment script
// (so that they do not make a rerun's plan differ).
void SplitSoundOptions(const FarmOptions& o, FarmPlan* plan) {
    plan->audio_codec = o.render.encode.lossless ? "copy" : "aac";
    for (size_t i = 0; i < o.render_args.size(); ++i) {
        const std::string& arg = o.render_args[i];
        bool codec = arg == "-c:a" || arg == "--acodec";
        bool rate = arg == "-b:a" || arg == "--audio-bitrate";
        // The segment script answers for these itself (-y -q).
        if (arg == "-y" || arg == "-n" || arg == "-q" || arg == "--quiet" || arg == "--overwrite" ||
            arg == "--no-overwrite" || arg == "-v" || arg == "--verbose")
            continue;
        if ((codec || rate) && i + 1 < o.render_args.size()) {
            (codec ? plan->audio_codec : plan->audio_bitrate) = o.render_args[++i];
            continue;
        }
        plan->render_args.push_back(arg);
    }
    if (!o.render.encode.lossless)
        plan->render_args.insert(plan->render_args.end(), {"-c:a", "pcm_s16le"});
}

bool BuildPlan(const FarmOptions& o, FarmPlan* plan, std::string* error) {
    plan->job =
        (o.sources.size() == 1 ? AbsolutePath(o.output) : AbsolutePath(o.output) + "/kinetra") +
        ".farm";
    plan->program = ProgramPath();
    plan->plugin = AbsolutePath(PluginPath(o.render.plugin));
    plan->lossless = o.render.encode.lossless;
    plan->hashes[plan->plugin] = HashFile(plan->plugin, error);
    if (plan->hashes[plan->plugin].empty()) return false;
    for (const std::string& source : o.sources) {
        if (!AddSource(o, source, plan, error)) {
            *error = source + ": " + *error;
            return false;
        }
    }
    SplitSoundOptions(o, plan);
    CutIntoSegments(plan, o.segments);
    return true;
}

// The render command of one segment, with "$KINETRA" for the program.
std::string SegmentCommand(const FarmPlan& plan, const FarmSegment& segment) {
    std::vector<std::string> args = {
        "render",   plan.sources[size_t(segment.source)].path,
        "--frames", std::to_string(segment.first) + "-" + std::to_string(segment.last),
        "--plugin", plan.plugin};
    args.insert(args.end(), plan.render_args.begin(), plan.render_args.end());
    return "render_segment " + ShellQuote(segment.file) + " " + ShellCommand(args);
}

std::string SegmentScript(const FarmPlan& plan, int32_t tries) {
    std::string text =
        "#!/bin/sh\n"
        "# One task of a kinetra farm job: renders the task's segments (the task's\n"
        "# number is $1, or Slurm's SLURM_ARRAY_TASK_ID). A segment already there is\n"
        "# kept; a failed one is rendered again, up to " +
        std::to_string(tries) +
        " times. The render writes under a\n"
        "# temporary name and gives the segment its name when it is complete.\n"
        "set -u\n"
        "task=${1:-${SLURM_ARRAY_TASK_ID:?no task number}}\n"
        "KINETRA=${KINETRA:-" +
        ShellQuote(plan.program) +
        "}\n"
        "render_segment() {\n"
        "    file=$1\n"
        "    shift\n"
        "    [ -f \"$file\" ] && return 0\n"
        "    try=1\n"
        "    while [ $try -le " +
        std::to_string(tries) +
        " ]; do\n"
        "        \"$KINETRA\" \"$@\" -o \"$file\" -y -q && [ -f \"$file\" ] && return 0\n"
        "        echo \"kinetra farm: $file: try $try failed\" >&2\n"
        "        try=$((try + 1))\n"
        "    done\n"
        "    return 1\n"
        "}\n"
        "case $task in\n";
    for (int32_t task = 0; task < plan.tasks; ++task) {
        text += std::to_string(task) + ")\n";
        for (const FarmSegment& segment : plan.segments)
            if (segment.task == task)
                text += "    " + SegmentCommand(plan, segment) + " || exit 1\n";
        text += "    ;;\n";
    }
    text += "*) echo \"kinetra farm: no task $task\" >&2; exit 2 ;;\nesac\n";
    return text;
}

std::string JoinScript(const FarmPlan& plan) {
    return "#!/bin/sh\n"
           "# The join of a kinetra farm job: checks every segment against the plan and\n"
           "# writes the joined render.\n"
           "KINETRA=${KINETRA:-" +
           ShellQuote(plan.program) +
           "}\n"
           "exec \"$KINETRA\" join " +
           ShellQuote(plan.job + "/plan.json") + " -y\n";
}

bool WriteScript(const std::string& path, const std::string& text, std::string* error) {
    std::ofstream out(path);
    out << text;
    if (!out.flush() || chmod(path.c_str(), 0755) != 0) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

// Segments of an earlier plan of this job that this plan does not keep
// (other files, ranges or options) are removed, so that no stale segment is
// joined.
void DropStaleSegments(const FarmPlan& plan) {
    FarmPlan old;
    std::string error;
    if (!ReadPlan(plan.job + "/plan.json", &old, &error)) return;
    bool same = old.hashes == plan.hashes && old.render_args == plan.render_args &&
                old.segments.size() == plan.segments.size();
    for (size_t i = 0; same && i < old.segments.size(); ++i) {
        const FarmSegment &a = old.segments[i], &b = plan.segments[i];
        same = a.file == b.file && a.first == b.first && a.last == b.last && a.source == b.source;
    }
    if (same) return;
    for (const FarmSegment& segment : old.segments)
        std::remove(segment.file.c_str());
}

bool WriteJob(const FarmOptions& o, const FarmPlan& plan, std::string* error) {
    if (o.sources.size() > 1 && !MakeDirectory(AbsolutePath(o.output))) {
        *error = "cannot make the directory " + o.output;
        return false;
    }
    if (!MakeDirectory(plan.job) || !MakeDirectory(plan.job + "/logs")) {
        *error = "cannot make the job folder " + plan.job;
        return false;
    }
    DropStaleSegments(plan);
    return WritePlan(plan, plan.job + "/plan.json", error) &&
           WriteScript(plan.job + "/segment.sh", SegmentScript(plan, o.tries), error) &&
           WriteScript(plan.job + "/join.sh", JoinScript(plan), error);
}

// The tasks with a segment still to render, as "0,2,5".
std::string MissingTasks(const FarmPlan& plan) {
    std::set<int32_t> tasks;
    for (const FarmSegment& segment : plan.segments)
        if (!Exists(segment.file)) tasks.insert(segment.task);
    std::string list;
    for (int32_t task : tasks)
        list += (list.empty() ? "" : ",") + std::to_string(task);
    return list;
}

// Runs `args`, or prints them for --dry-run; the exit status (0 for a dry run).
int Run(const FarmOptions& o, const std::vector<std::string>& args, std::string* output,
        const std::string& shown) {
    if (o.dry_run) {
        std::printf("%s\n", shown.empty() ? ShellCommand(args).c_str() : shown.c_str());
        if (output != nullptr) *output = "$segments";
        return 0;
    }
    std::string error;
    int status = RunProgram(args, output, &error);
    if (status < 0) Fail(args[0], error);
    return status;
}

// After waiting for a join: Slurm reports a join it cancelled (a segment
// failed, so its dependency can never be met) as no failure; the outputs,
// written since `since`, say.
int JoinedAll(const FarmPlan& plan, time_t since) {
    int status = kExitOk;
    for (const FarmSource& s : plan.sources) {
        struct stat info;
        if (stat(s.output.c_str(), &info) == 0 && info.st_mtime >= since) continue;
        std::fprintf(stderr, "kinetra: %s was not written: a segment failed (see %s/logs)\n",
                     s.output.c_str(), plan.job.c_str());
        status = kExitFailure;
    }
    return status;
}

int SubmitToSlurm(const FarmOptions& o, const FarmPlan& plan, const std::string& missing) {
    time_t submitted = time(nullptr) - 1;  // file times may be whole seconds
    std::string id;
    std::vector<std::string> join = {"sbatch", "--parsable", "--job-name=kinetra-join",
                                     "--output=" + plan.job + "/logs/join.log"};
    if (!missing.empty()) {
        std::vector<std::string> array = {"sbatch",
                                          "--parsable",
                                          "--array=" + missing,
                                          "--job-name=kinetra-segments",
                                          "--output=" + plan.job + "/logs/task-%a.log",
                                          plan.job + "/segment.sh"};
        std::string shown = "segments=$(" + ShellCommand(array) + ")";
        if (Run(o, array, &id, shown) != 0) return kExitFailure;
        id = id.substr(0, id.find_first_of(";\n"));
        join.insert(join.end(), {"--dependency=afterok:" + id, "--kill-on-invalid-dep=yes"});
    }
    if (o.wait) join.push_back("--wait");
    join.push_back(plan.job + "/join.sh");
    std::string join_id;
    // A dry run shows the segments' job id as the shell variable it printed.
    std::string shown = ShellCommand(join);
    size_t quoted = shown.find("'--dependency=afterok:$segments'");
    if (quoted != std::string::npos)
        shown.replace(quoted, 32, "--dependency=afterok:\"$segments\"");
    int status = Run(o, join, &join_id, shown);
    if (!o.dry_run && !o.render.quiet && status == 0 && !o.wait) {
        std::fprintf(stderr, "kinetra: submitted %s%s; the join writes %s\n",
                     missing.empty() ? "" : ("segments " + id + " and ").c_str(),
                     ("join " + join_id.substr(0, join_id.find('\n'))).c_str(), plan.job.c_str());
    }
    if (status == 0 && o.wait && !o.dry_run) return JoinedAll(plan, submitted);
    return status == 0 ? kExitOk : kExitFailure;
}

int RunWithParallel(const FarmOptions& o, const FarmPlan& plan, const std::string& missing) {
    if (!missing.empty()) {
        std::vector<std::string> args = {"parallel",
                                         "--halt",
                                         "now,fail=1",
                                         "-S",
                                         o.hosts,
                                         "--joblog",
                                         plan.job + "/logs/parallel.log",
                                         "sh",
                                         plan.job + "/segment.sh",
                                         "{}",
                                         ":::"};
        std::string tasks = missing;
        for (size_t at; (at = tasks.find(',')) != std::string::npos;) {
            args.push_back(tasks.substr(0, at));
            tasks.erase(0, at + 1);
        }
        args.push_back(tasks);
        if (Run(o, args, nullptr, "") != 0) {
            std::fprintf(stderr, "kinetra: a segment failed; nothing was joined\n");
            return kExitFailure;
        }
    }
    return Run(o, {"sh", plan.job + "/join.sh"}, nullptr, "") == 0 ? kExitOk : kExitFailure;
}

// Every output may be written (the overwrite rule), asked once here: the join
// replaces them without asking.
bool MayWriteOutputs(const FarmOptions& o, const FarmPlan& plan) {
    for (const FarmSource& s : plan.sources) {
        std::string error;
        if (!MayReplace(FilesReplacedBy(s.output, 1), o.render.overwrite, isatty(STDIN_FILENO) != 0,
                        stdin, stderr, &error)) {
            std::fprintf(stderr, "kinetra: %s\n", error.c_str());
            return false;
        }
    }
    return true;
}

}  // namespace

int RunFarm(const FarmOptions& o) {
    QuietFfmpegLog();
    FarmPlan plan;
    std::string error;
    if (!BuildPlan(o, &plan, &error)) {
        std::fprintf(stderr, "kinetra: %s\n", error.c_str());
        return kExitFailure;
    }
    if (!o.dry_run && !MayWriteOutputs(o, plan)) return kExitFailure;
    if (!WriteJob(o, plan, &error)) {
        std::fprintf(stderr, "kinetra: %s\n", error.c_str());
        return kExitFailure;
    }
    std::string missing = MissingTasks(plan);
    if (o.scheduler == "parallel") return RunWithParallel(o, plan, missing);
    return SubmitToSlurm(o, plan, missing);
}
