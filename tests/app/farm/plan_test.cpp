// The farm's plan: how sources are cut into segments and grouped into tasks,
// the sound each segment must hold, and the plan read back as written.
#include "farm/plan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixtures/clips.h"

namespace {

TEST(FarmPlan, CutsLongSourcesAndGroupsShortOnesIntoTasksOfEqualWork) {
    struct Case {
        const char* name;
        std::vector<int32_t> frames;  // per source
        int32_t segments;
        // Per segment: source, task, first, last.
        std::vector<std::vector<int32_t>> expected;
        int32_t tasks;
    };
    const Case cases[] = {
        {"one source in four",
         {99},
         4,
         {{0, 0, 0, 23}, {0, 1, 24, 48}, {0, 2, 49, 73}, {0, 3, 74, 98}},
         4},
        {"more segments than frames", {2}, 5, {{0, 0, 0, 0}, {0, 1, 1, 1}}, 2},
        {"a long source and short ones",
         {300, 50, 50, 100},
         5,
         {{0, 0, 0, 99},
          {0, 1, 100, 199},
          {0, 2, 200, 299},
          {1, 3, 0, 49},
          {2, 3, 0, 49},
          {3, 4, 0, 99}},
         5},
    };
    for (const Case& c : cases) {
        FarmPlan plan;
        plan.job = "/job";
        for (int32_t frames : c.frames) {
            FarmSource source;
            source.frames = frames;
            source.frame_rate = {30, 1};
            plan.sources.push_back(source);
        }
        CutIntoSegments(&plan, c.segments);
        std::vector<std::vector<int32_t>> got;
        for (const FarmSegment& s : plan.segments)
            got.push_back({s.source, s.task, s.first, s.last});
        EXPECT_EQ(got, c.expected) << c.name;
        EXPECT_EQ(plan.tasks, c.tasks) << c.name;
    }
}

TEST(FarmPlan, SegmentsTileTheSoundAndThePlanReadsBackAsWritten) {
    apptest::TempDir dir;
    FarmPlan plan;
    plan.job = dir.path();
    plan.program = "/bin/kinetra";
    plan.plugin = "/lib/kinetra.auf";
    plan.audio_codec = "aac";
    plan.render_args = {"--var", "a=3"};
    plan.hashes["/src.mp4"] = "00ff";
    FarmSource source;
    source.path = "/src.mp4";
    source.output = "/out.mp4";
    source.frames = 100;
    source.frame_rate = {30000, 1001};
    source.audio_rate = 44100;
    source.channels = 2;
    plan.sources.push_back(source);
    CutIntoSegments(&plan, 3);
    // 29.97 fps at 44100 Hz: frames of 1471 and 1472 samples, tiled exactly.
    std::vector<int64_t> samples;
    for (const FarmSegment& s : plan.segments)
        samples.push_back(s.samples);
    // Frames 0..32, 33..65 and 66..99: 147147 samples in all.
    EXPECT_EQ(samples, (std::vector<int64_t>{48559, 48558, 50030}));

    std::string error;
    ASSERT_TRUE(WritePlan(plan, dir / "plan.json", &error)) << error;
    FarmPlan read;
    ASSERT_TRUE(ReadPlan(dir / "plan.json", &read, &error)) << error;
    EXPECT_EQ(read.render_args, plan.render_args);
    EXPECT_EQ(read.hashes, plan.hashes);
    ASSERT_EQ(read.segments.size(), 3u);
    EXPECT_EQ(read.segments[2].file, plan.segments[2].file);
    EXPECT_EQ(read.segments[2].samples, plan.segments[2].samples);
    EXPECT_EQ(read.sources[0].frame_rate.den, 1001);
    EXPECT_FALSE(ReadPlan(dir / "none.json", &read, &error));
}

}  // namespace
