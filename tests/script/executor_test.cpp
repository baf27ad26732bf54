// Running the script: variables, sections, conditions, jumps, assignments and
// argument evaluation, observed through the variables and the line table.
#include <gtest/gtest.h>

#include <string>

#include "script/script.h"
#include "script_support.h"
#include "support/test_host.h"

using scripttest::InProcessPlugin;
using scripttest::User;
using testhost::TestHost;

namespace {

class ExecutorTest : public ::testing::Test {
  protected:
    TestHost host{32, 24, 100};
    InProcessPlugin plugin{&host};
};

TEST_F(ExecutorTest, SystemVariablesBeforeEveryLine) {
    for (int i = 1; i < KINETRA_TRACK_COUNT; ++i)
        host.tracks[i] = 10 + i;
    plugin.width = 30;
    plugin.height = 20;
    host.WriteScript(
        "[10-20]\n"
        "A=a\nB=b\nC=c\nD=d\nE=e\nF=f\nG=g\nH=h\nI=i\nJ=j\nM=m\nN=n\nP=p\n"
        "S=s\nU=u\nV=v\nW=w\nX=x\nY=y\nZ=z\n"
        "K=k+l+o+q+r+t\n");
    ASSERT_EQ(plugin.RunVideo(12), 1);
    const struct {
        char user;
        double value;
    } expected[] = {
        {'A', 11},
        {'B', 12},
        {'C', 13},
        {'D', 14},
        {'E', 20},
        {'F', 12},
        {'G', 2},
        {'H', 20},
        {'I', 32},
        {'J', 24},
        {'M', 100},
        {'N', 11},
        {'P', 3.14159265358979},
        {'S', 10},
        {'U', 15},
        {'V', 16},
        {'W', 30},
        {'X', 17},
        {'Y', 18},
        {'Z', 19},
        {'K', 0},
    };
    for (const auto& e : expected) {
        EXPECT_EQ(User(e.user), e.value) << e.user;
    }
}

TEST_F(ExecutorTest, OnlyUnsetLowerCaseVariablesKeepAssignments) {
    host.WriteScript(
        "f=99\n"
        "F=f\n"
        "k=5\n"
        "K=k\n"
        "t=t+1\n"
        "T=t\n");
    plugin.RunVideo(3);
    plugin.RunAudio(4);
    EXPECT_EQ(User('F'), 4);
    EXPECT_EQ(User('K'), 5);
    EXPECT_EQ(User('T'), 2);
}

TEST_F(ExecutorTest, SectionsAndConditionsDecideWhichLinesRun) {
    host.WriteScript(
        "[10-20]\n"
        "A=A+1\n"
        "G=g\n"
        "N=n\n"
        "[\"f>=25 && f<28\"]\n"
        "B=B+1\n"
        "[-5]\n"
        "C=C+1\n"
        "[40-50]\n"
        "[\"1\"]\n"
        "D=D+1\n");
    plugin.RunVideo(10);
    EXPECT_EQ(User('G'), 0);
    EXPECT_EQ(User('N'), 11);
    for (int32_t f = 11; f <= 30; ++f)
        plugin.RunVideo(f);
    EXPECT_EQ(User('A'), 11);
    EXPECT_EQ(User('G'), 10);
    EXPECT_EQ(User('B'), 3);
    EXPECT_EQ(User('C'), 0);  // frames 0..5 never ran
    plugin.RunVideo(5);
    EXPECT_EQ(User('C'), 1);
    // A line under a condition is not range-tested.
    EXPECT_EQ(User('D'), 22);
}

TEST_F(ExecutorTest, ConditionThatIsNotANumberCountsAsTrue) {
    host.WriteScript(
        "[\"1e300*1e300-1e300*1e300\"]\n"
        "A=1\n"
        "[\"0\"]\n"
        "B=1\n"
        "[\"1/0\"]\n"
        "C=1\n"
        "[\"f>\"]\n"
        "D=1\n");
    plugin.RunVideo(0);
    EXPECT_EQ(User('A'), 1);
    EXPECT_EQ(User('B'), 0);
    EXPECT_EQ(User('C'), 0);  // an evaluation error gives 0
    EXPECT_EQ(User('D'), 0);  // so does a text that does not compile
}

TEST_F(ExecutorTest, JumpsForwardAndBackward) {
    host.WriteScript(
        "I=0\n"
        ":top\n"
        "I=I+1\n"
        "if I<5 goto :top\n"
        "J=I\n"
        "goto :skip\n"
        "J=99\n"
        ":SKIP\n"
        "K=J+1\n"
        "if 0 goto :top\n"
        "goto:nowhere\n"
        "L=1\n"
        "if 1 goto :nowhere\n"
        "M=1\n");
    // Frame 7: the labels themselves (frames 0..0) do not apply; jumps still land.
    plugin.RunVideo(7);
    EXPECT_EQ(User('I'), 5);
    EXPECT_EQ(User('J'), 5);
    EXPECT_EQ(User('K'), 6);
    EXPECT_EQ(User('L'), 1);
    EXPECT_EQ(User('M'), 1);
}

TEST_F(ExecutorTest, EndlessLoopStopsAfterAMillionLinesPerCall) {
    host.WriteScript(
        ":a\n"
        "C=C+1\n"
        "goto:a\n"
        "D=1\n");
    // Lines 2, 5, 8, ... of the run are C=C+1: 333333 of the first 1000000.
    EXPECT_EQ(plugin.RunVideo(0), 1);
    EXPECT_EQ(User('C'), 333333);
    EXPECT_EQ(User('D'), 0);
    EXPECT_EQ(plugin.RunAudio(0), 1);
    EXPECT_EQ(User('C'), 666666);
}

TEST_F(ExecutorTest, CounterCountsCallsOfBothFiltersAcrossReloads) {
    host.WriteScript("C=C+1\n");
    plugin.RunVideo(0);
    plugin.RunAudio(0);
    plugin.RunVideo(1);
    plugin.RunAudio(1);
    EXPECT_EQ(User('C'), 4);
    host.WriteScript("C=C+10\n");
    scripttest::NextClockSecond();
    plugin.RunAudio(2);
    EXPECT_EQ(User('C'), 14);
}

TEST_F(ExecutorTest, BothFiltersEvaluateEveryCommandLine) {
    host.WriteScript(
        "fill(f*2, 1/0, , A+3)\n"
        "a_volume(f+1)\n"
        "A=7\n");
    plugin.RunAudio(7);
    const ScriptLine& fill = g_script.lines[0];
    EXPECT_EQ(fill.values[0], 14);
    EXPECT_EQ(fill.values[1], 0);
    EXPECT_EQ(fill.values[2], 0);
    EXPECT_EQ(fill.values[3], 3);
    EXPECT_EQ(fill.values[19], 0);
    plugin.RunVideo(3);
    EXPECT_EQ(g_script.lines[1].values[0], 4);
    EXPECT_EQ(g_script.lines[0].values[3], 10);
}

}  // namespace
