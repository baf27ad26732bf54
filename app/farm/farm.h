// `kinetra farm SOURCE... -o OUT --segments N`: one long render split across
// machines. Writes a job folder (OUT.farm/, on storage every machine sees)
// holding the plan, the segment script and the join script, then submits an
// array job with one task per segment and a join that waits for all of them
// (Slurm: sbatch --array, --dependency=afterok, --kill-on-invalid-dep=yes), or
// runs the same through GNU parallel over ssh (-S). Each task renders its
// segments with `kinetra render --frames A-B`, retrying a failed one a few
// times itself; a segment's file appears only when complete, and a rerun
// renders only the missing ones. Several short sources go several to a task.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "render/render.h"

struct FarmOptions {
    std::vector<std::string> sources;
    std::string output;  // one source: the file; several: a directory
    int32_t segments = 0;
    std::string scheduler = "slurm";  // or "parallel"
    std::string hosts = ":";          // parallel's -S (":" is this machine)
    bool dry_run = false;             // print the commands instead of running them
    bool wait = false;                // wait for the join (Slurm: sbatch --wait)
    int32_t tries = 3;                // renders of a segment before its task fails
    // The render options every segment takes (without --frames and -o), as
    // given and as parsed.
    std::vector<std::string> render_args;
    RenderSettings render;
};

int RunFarm(const FarmOptions& options);
