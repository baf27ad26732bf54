// The directory of a path is what a file name is appended to: it keeps its
// trailing '/', and a bare name lies in "./".
#include <gtest/gtest.h>

#include <string>

#include "base/paths.h"

namespace {

TEST(Paths, DirectoryKeepsItsSlashAndJoinsBackToThePath) {
    const struct {
        const char* path;
        const char* directory;
        const char* base;
    } cases[] = {
        {"/home/u/clip.mp4", "/home/u/", "clip.mp4"},
        {"/clip.mp4", "/", "clip.mp4"},
        {"clip.mp4", "./", "clip.mp4"},
        {"a/b/", "a/b/", ""},
        {"./x", "./", "x"},
        {"", "./", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DirectoryOf(c.path), c.directory) << c.path;
        EXPECT_EQ(BaseName(c.path), c.base) << c.path;
        if (std::string(c.path).find('/') != std::string::npos) {
            EXPECT_EQ(DirectoryOf(c.path) + BaseName(c.path), c.path);
        }
    }
}

}  // namespace
