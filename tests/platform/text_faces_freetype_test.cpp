// Face lookup: fontconfig's file for a family, stand-ins for the well-known
// Japanese families, and the cache of open faces.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <string>

#include "platform/text_codepage.h"
#include "platform/text_faces_freetype.h"
#include "support/test_platform.h"

namespace {

const char kIpaGothic[] = "/usr/share/fonts/opentype/ipafont-gothic/ipag.ttf";

class TextFaces : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(FT_Init_FreeType(&library_), 0);
        ASSERT_TRUE(platform::StartFaceLookup());
        ASSERT_TRUE(platform::OpenCodePages());
    }
    void TearDown() override {
        platform::StopFaceLookup();
        platform::CloseCodePages();
        FT_Done_FreeType(library_);
    }
    FT_Library library_ = nullptr;
};

TEST_F(TextFaces, WellKnownFamiliesFindTheirStandIns) {
    struct Case {
        const char* family;  // UTF-8
        bool ipa_gothic;
    };
    const Case cases[] = {{"MS Gothic", true},           {"ms gothic", true},
                          {"ＭＳ ゴシック", true},       {"IPAGothic", true},
                          {"No Such Face 12345", false}, {"", false}};
    for (const Case& c : cases) {
        char file[4096];
        int index = -1;
        ASSERT_TRUE(platform::FindFontFile(c.family, false, false, file, sizeof file, &index))
            << c.family;
        EXPECT_GE(index, 0) << c.family;
        if (c.ipa_gothic) {
            EXPECT_EQ(testhost::RealPath(file), kIpaGothic) << c.family;
        }
    }
    char tiny[4];
    int index = 0;
    EXPECT_FALSE(platform::FindFontFile("IPAGothic", false, false, tiny, sizeof tiny, &index));
}

TEST_F(TextFaces, FacesAreOpenedOnceAndNeverShareASerial) {
    // "ＭＳ ゴシック" in Shift-JIS, as scripts name it.
    const char face[] = "\x82\x6c\x82\x72\x20\x83\x53\x83\x56\x83\x62\x83\x4e";
    platform::FoundFace first = platform::FindFace(library_, face, false, false);
    ASSERT_NE(first.face, nullptr);
    EXPECT_EQ(testhost::RealPath(first.file), kIpaGothic);
    platform::FoundFace again = platform::FindFace(library_, face, false, false);
    EXPECT_EQ(again.face, first.face);
    EXPECT_EQ(again.serial, first.serial);
    platform::FoundFace bold = platform::FindFace(library_, face, true, false);
    EXPECT_NE(bold.serial, first.serial);
    // Started again, the same name is a new face with a new serial.
    platform::StopFaceLookup();
    ASSERT_TRUE(platform::StartFaceLookup());
    platform::FoundFace reopened = platform::FindFace(library_, face, false, false);
    ASSERT_NE(reopened.face, nullptr);
    EXPECT_GT(reopened.serial, bold.serial);
}

}  // namespace
#endif
