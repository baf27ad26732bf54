// Run-time failure reports: the first failure of each script line (an
// argument that fails to evaluate, a file that cannot be opened) is kept once,
// with the line's number in the file, until the host takes it.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "support/test_host.h"

using testhost::TestHost;

namespace {

// The plug-in loaded from kinetra.auf reads the real clock (only the parts
// linked into this program have a clock the tests can step), so a reload
// through it waits for the next second.
void WaitForTheNextClockSecond() {
    std::time_t now = std::time(nullptr);
    while (std::time(nullptr) == now)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

#ifdef _WIN32
// The Windows build does not export the reports (the editor's one export
// is the filter list).
TEST(RunFailures, NotExportedOnWindows) {
    TestHost host;
    host.WriteScript("A=log(0)\n");
    ASSERT_EQ(host.RunVideo(0), 1);
    EXPECT_TRUE(host.TakeRunFailures().empty());
}
#else

struct Expected {
    int32_t line;
    int32_t frame;
    const char* message;
};

void ExpectReports(const std::vector<KinetraRunFailure>& got, const std::vector<Expected>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].line, want[i].line) << i;
        EXPECT_EQ(got[i].frame, want[i].frame) << i;
        EXPECT_STREQ(got[i].message, want[i].message) << i;
    }
}

TEST(RunFailures, FirstFailureOfEachLineOnceWithItsFileLine) {
    TestHost host(32, 24, 20);
    host.WriteScript(
        "# line numbers count comments, blank lines and sections\n"
        "\n"
        "[0-]\n"
        "fill(0, 0, 0, 4, 4, log(f-1), 0, 0)\n"
        "A=sqrt(f-5)\n"
        "if log(f-2) goto :end\n"
        "text(0, 1, 1, 1, \"log(0)\")\n"
        "readvideo(2, f, \"missing.mp4\")\n"
        "readimage(3, \"missing.png\")\n"
        "fill(0, 0, 0, 4, 4, 100, 0, 0)\n"
        "a_readvideo(1, f, \"missing.mp4\")\n"
        "unknown(log(0))\n"
        ":end\n");
    // Frame 2 first: only the lines failing there report, then frame 0 adds
    // the first line, and frame 1 (failing again everywhere) nothing.
    ASSERT_EQ(host.RunVideo(2), 1);
    ExpectReports(host.TakeRunFailures(),
                  {{5, 2, "'sqrt(f-5)' fails to evaluate: A gets 0"},
                   {6, 2, "the condition 'log(f-2)' fails to evaluate: the jump is not taken"},
                   {8, 2, "readvideo: cannot open or read 'missing.mp4': nothing is read"},
                   {9, 2, "readimage: cannot open or read 'missing.png': nothing is read"},
                   {12, 2, "unknown: argument 1 'log(0)' fails to evaluate and counts as 0"}});
    ASSERT_EQ(host.RunVideo(0), 1);
    ExpectReports(host.TakeRunFailures(),
                  {{4, 0, "fill: argument 6 (Y) 'log(f-1)' fails to evaluate and counts as 0"}});
    ASSERT_EQ(host.RunVideo(1), 1);
    // The audio filter runs the same lines: only its own command's failure
    // is new.
    ASSERT_EQ(host.RunAudio(1), 1);
    ExpectReports(host.TakeRunFailures(),
                  {{11, 1, "a_readvideo: cannot open or read 'missing.mp4': nothing is read"}});
    ASSERT_EQ(host.RunAudio(2), 1);
    EXPECT_TRUE(host.TakeRunFailures().empty());
}

// A line longer than a read (511 bytes) continues as a line of its own with
// the same number in the file; a script read again reports afresh; reports
// the host does not take are kept up to a bound, and the lines beyond it are
// reported once there is room.
TEST(RunFailures, LongLinesReloadsAndTheBound) {
    TestHost host(32, 24, 20);
    std::string padding(600, ' ');
    host.WriteScript("A=1\nB=0" + padding + "\nC=log(0)\n");
    ASSERT_EQ(host.RunVideo(0), 1);
    ExpectReports(host.TakeRunFailures(), {{3, 0, "'log(0)' fails to evaluate: C gets 0"}});

    WaitForTheNextClockSecond();
    std::string many;
    for (int i = 0; i < 70; ++i)
        many += "A=log(" + std::to_string(-i) + ")\n";
    host.WriteScript(many);
    ASSERT_EQ(host.RunVideo(1), 1);
    ASSERT_EQ(host.RunVideo(2), 1);
    std::vector<KinetraRunFailure> first = host.TakeRunFailures();
    ASSERT_EQ(first.size(), 64u);
    EXPECT_EQ(first[63].line, 64);
    EXPECT_EQ(first[63].frame, 1);
    ASSERT_EQ(host.RunVideo(3), 1);
    std::vector<KinetraRunFailure> rest = host.TakeRunFailures();
    ASSERT_EQ(rest.size(), 6u);
    EXPECT_EQ(rest[0].line, 65);
    EXPECT_EQ(rest[0].frame, 3);
    EXPECT_STREQ(rest[5].message, "'log(-69)' fails to evaluate: A gets 0");
}

#endif

}  // namespace
