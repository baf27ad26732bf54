// The command line as users of video tools expect it: the overwrite rule,
// pipes and FIFOs, encoder and pixel-format choices, which streams an output
// gets, the canvas, and the program's help and version.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <thread>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "fixtures/clips.h"
#include "output/encoders.h"
#include "cli/options.h"
#include "cli/program.h"
#include "output/output_file.h"
#include "output/overwrite.h"
#include "render/render.h"

namespace {

using apptest::ClipSpec;
using apptest::MakeClip;
using apptest::TempDir;

std::string Quote(const std::string& text) {
    return "'" + text + "'";
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// All that was written to a temporary file; closes it.
std::string ReadBack(FILE* file) {
    std::string text(std::ftell(file), '\0');
    std::rewind(file);
    text.resize(std::fread(&text[0], 1, text.size(), file));
    std::fclose(file);
    return text;
}

// Runs a shell command; returns its exit status and standard output.
int Shell(const std::string& command, std::string* out) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[4096];
    out->clear();
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out->append(buffer, n);
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Program() {
    return Quote(KINETRA_APP_PATH);
}

std::string PluginOption() {
    return " --plugin " + Quote(KINETRA_PLUGIN_PATH);
}

// The codec names of a file's streams, in order: "h264,aac".
std::string StreamCodecs(const std::string& path) {
    std::string error;
    InputPtr input = OpenInput(path, &error);
    if (!input) return "unreadable: " + error;
    std::string names;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        names += (i > 0 ? "," : "") +
                 std::string(avcodec_get_name(input->streams[i]->codecpar->codec_id));
    }
    return names;
}

TEST(Overwrite, ExistingOutputsAreFound) {
    TempDir dir;
    apptest::WriteFile(dir / "out.mp4", "old");
    apptest::WriteFile(dir / "seq_0002.png", "old");
    apptest::WriteFile(dir / "seq_0009.png", "old");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    struct Case {
        std::string output;
        int64_t frames;
        size_t replaced;
    };
    const Case cases[] = {
        {dir / "out.mp4", 10, 1},     {dir / "new.mp4", 10, 0},
        {dir / "seq_%04d.png", 5, 1}, {dir / "seq_%04d.png", 9, 2},
        {dir / "seq_%04d.png", 1, 0}, {dir / "fifo", 10, 0},
        {"/dev/null", 10, 0},         {"-", 10, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FilesReplacedBy(c.output, c.frames).size(), c.replaced)
            << c.output << " " << c.frames;
    }
}

TEST(Overwrite, AsksOnlyOnATerminalAndHonoursTheFlags) {
    struct Case {
        const char* name;
        Overwrite mode;
        bool interactive;
        const char* answer;
        bool allowed;
        const char* message;
    };
    const Case cases[] = {
        {"-y", Overwrite::kYes, false, "", true, ""},
        {"-n", Overwrite::kNo, true, "y\n", false, "not replaced (-n)"},
        {"no terminal", Overwrite::kAsk, false, "y\n", false, "give -y to replace it or -n"},
        {"answered yes", Overwrite::kAsk, true, "yes\n", true, ""},
        {"answered Y", Overwrite::kAsk, true, "Y\n", true, ""},
        {"answered no", Overwrite::kAsk, true, "n\n", false, "not replaced"},
        {"just Enter", Overwrite::kAsk, true, "\n", false, "not replaced"},
        {"end of input", Overwrite::kAsk, true, "", false, "not replaced"},
    };
    for (const Case& c : cases) {
        FILE* answers = tmpfile();
        FILE* prompt = tmpfile();
        std::fputs(c.answer, answers);
        std::rewind(answers);
        std::string error;
        EXPECT_EQ(MayReplace({"/x/out.mp4"}, c.mode, c.interactive, answers, prompt, &error),
                  c.allowed)
            << c.name;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.name << ": " << error;
        // The question is asked only when it can be answered.
        EXPECT_EQ(std::ftell(prompt) > 0, c.mode == Overwrite::kAsk && c.interactive) << c.name;
        std::fclose(answers);
        std::fclose(prompt);
    }
    std::string error;
    EXPECT_TRUE(MayReplace({}, Overwrite::kNo, false, stdin, stderr, &error));
}

TEST(Overwrite, TheProgramNeverReplacesAnOutputSilently) {
    TempDir dir;
    ClipSpec spec;
    spec.frames = 2;
    ASSERT_TRUE(MakeClip(dir / "clip.mkv", spec));
    const std::string base = "render " + Quote(dir / "clip.mkv") + " -o " + Quote(dir / "out.mkv") +
                             " -q" + PluginOption();
    struct Case {
        const char* flags;
        int status;
        bool replaced;
        const char* message;
    };
    const Case cases[] = {
        {"", 1, false, "already exists; give -y to replace it or -n to keep it"},
        {" -n", 1, false, "not replaced (-n)"},
        {" -y", 0, true, ""},
    };
    for (const Case& c : cases) {
        apptest::WriteFile(dir / "out.mkv", "old");
        std::string text;
        EXPECT_EQ(apptest::RunProgram(base + c.flags, &text), c.status) << c.flags << text;
        EXPECT_NE(text.find(c.message), std::string::npos) << c.flags << ": " << text;
        EXPECT_EQ(ReadAll(dir / "out.mkv") != "old", c.replaced) << c.flags;
    }
    EXPECT_EQ(StreamCodecs(dir / "out.mkv"), "h264,pcm_s16le");
}

// Which encoders and pixel format an output gets, or why it cannot work:
// all decided before a frame is rendered.
TEST(Encoders, ChoicesFollowTheContainerTheRequestAndTheSource) {
    struct Case {
        const char* name;
        const char* output;
        AVPixelFormat source;
        EncodeSettings request;
        const char* video;   // encoder name, "" none
        const char* audio;   // encoder name, "" none
        const char* pixels;  // chosen pixel format, "" when no video
        const char* note;    // part of the loss note, "" none
        const char* error;   // part of the error, "" none
    };
    auto request = [](const char* vcodec, const char* acodec, const char* pix_fmt) {
        EncodeSettings r;
        r.video_codec = vcodec;
        r.audio_codec = acodec;
        r.pixel_format = pix_fmt;
        return r;
    };
    EncodeSettings no_audio;
    no_audio.audio = false;
    EncodeSettings crf_ffv1 = request("ffv1", "", "");
    crf_ffv1.crf = 10;
    EncodeSettings lossless;
    lossless.lossless = true;
    EncodeSettings nut;
    nut.format = "nut";
    const EncodeSettings usual;
    const Case cases[] = {
        {"8-bit 4:2:0 to mp4", "o.mp4", AV_PIX_FMT_YUV420P, usual, "libx264", "aac", "yuv420p", "",
         ""},
        {"10-bit 4:2:2 kept in H.264", "o.mp4", AV_PIX_FMT_YUV422P10LE, usual, "libx264", "aac",
         "yuv422p10le", "", ""},
        {"webm is VP9 profile 0 and Opus", "o.webm", AV_PIX_FMT_YUV420P, usual, "libvpx-vp9",
         "libopus", "yuv420p", "", ""},
        {"webm says what a deep source loses", "o.webm", AV_PIX_FMT_YUV422P10LE, usual,
         "libvpx-vp9", "libopus", "yuv420p", "loses bit depth and chroma", ""},
        {"RGB source to H.264 keeps full chroma", "o.mkv", AV_PIX_FMT_RGB24, usual, "libx264",
         "aac", "yuv444p", "", ""},
        {"asked pixel format", "o.mkv", AV_PIX_FMT_YUV420P, request("", "", "yuv444p10le"),
         "libx264", "aac", "yuv444p10le", "", ""},
        {"ffv1 keeps 12-bit", "o.mkv", AV_PIX_FMT_YUV422P12LE, request("ffv1", "flac", ""), "ffv1",
         "flac", "yuv422p12le", "", ""},
        {"lossless", "o.mkv", AV_PIX_FMT_YUV444P, lossless, "ffv1", "pcm_s16le", "yuv444p", "", ""},
        {"prores in mov", "o.mov", AV_PIX_FMT_YUV422P10LE, request("prores_ks", "", ""),
         "prores_ks", "aac", "yuv422p10le", "", ""},
        {"H.265", "o.mkv", AV_PIX_FMT_YUV420P10LE, request("libx265", "", ""), "libx265", "aac",
         "yuv420p10le", "", ""},
        {"deep source into 8-bit-only encoder", "o.mkv", AV_PIX_FMT_YUV420P10LE,
         request("mpeg4", "", ""), "mpeg4", "aac", "yuv420p", "loses bit depth", ""},
        {"pictures are RGB at the source's depth", "o_%03d.png", AV_PIX_FMT_YUV420P10LE, usual,
         "png", "", "rgb48be", "", ""},
        {"wav is audio alone", "o.wav", AV_PIX_FMT_YUV420P, usual, "", "pcm_s16le", "", "", ""},
        {"flac is audio alone", "o.flac", AV_PIX_FMT_YUV420P, usual, "", "flac", "", "", ""},
        {"mp3 is audio alone", "o.mp3", AV_PIX_FMT_YUV420P, usual, "", "libmp3lame", "", "", ""},
        {"ogg is Vorbis alone", "o.ogg", AV_PIX_FMT_YUV420P, usual, "", "libvorbis", "", "", ""},
        {"m4a is audio alone", "o.m4a", AV_PIX_FMT_YUV420P, usual, "", "aac", "", "", ""},
        {"nut by name", "-", AV_PIX_FMT_YUV420P, nut, "libx264", "aac", "yuv420p", "", ""},
        {"--no-audio", "o.mp4", AV_PIX_FMT_YUV420P, no_audio, "libx264", "", "yuv420p", "", ""},
        {"--no-audio with wav", "o.wav", AV_PIX_FMT_YUV420P, no_audio, "", "", "", "",
         "holds audio alone"},
        {"ffv1 in mp4", "o.mp4", AV_PIX_FMT_YUV420P, request("ffv1", "", ""), "", "", "", "",
         "mp4 container cannot hold ffv1"},
        {"opus in avi", "o.avi", AV_PIX_FMT_YUV420P, request("", "libopus", ""), "", "", "", "",
         "cannot hold opus"},
        {"video encoder for audio", "o.mkv", AV_PIX_FMT_YUV420P, request("", "libx264", ""), "", "",
         "", "", "not a audio encoder"},
        {"unknown encoder", "o.mkv", AV_PIX_FMT_YUV420P, request("libnothing", "", ""), "", "", "",
         "", "no video encoder 'libnothing'"},
        {"pixel format the encoder lacks", "o.mp4", AV_PIX_FMT_YUV420P, request("", "", "yuv411p"),
         "", "", "", "", "libx264 cannot encode yuv411p"},
        {"unknown pixel format", "o.mp4", AV_PIX_FMT_YUV420P, request("", "", "yuv999p"), "", "",
         "", "", "no pixel format 'yuv999p'"},
        {"crf for a lossless codec", "o.mkv", AV_PIX_FMT_YUV420P, crf_ffv1, "", "", "", "",
         "has no quality scale"},
        {"video encoder into wav", "o.wav", AV_PIX_FMT_YUV420P, request("libx264", "", ""), "", "",
         "", "", "holds audio alone"},
        {"unknown container", "o.xyz", AV_PIX_FMT_YUV420P, usual, "", "", "", "",
         "cannot tell the container"},
    };
    for (const Case& c : cases) {
        std::string error, note;
        const AVOutputFormat* format = ChooseContainer(c.output, c.request, &error);
        const AVCodec* video = nullptr;
        const AVCodec* audio = nullptr;
        if (format != nullptr) video = ChooseVideoEncoder(format, c.output, c.request, &error);
        if (error.empty()) audio = ChooseAudioEncoder(format, c.request, &error);
        if (error.empty()) CheckVideoSettings(video, c.request, &error);
        if (c.error[0] != '\0') {
            EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
            continue;
        }
        ASSERT_EQ(error, "") << c.name;
        EXPECT_STREQ(video != nullptr ? video->name : "", c.video) << c.name;
        EXPECT_STREQ(audio != nullptr ? audio->name : "", c.audio) << c.name;
        if (video == nullptr) continue;
        AVPixelFormat chosen = ChooseEncoderPixelFormat(video, format, c.source, c.request, &note);
        EXPECT_STREQ(av_get_pix_fmt_name(chosen), c.pixels) << c.name;
        if (c.note[0] == '\0') {
            EXPECT_EQ(note, "") << c.name;
        } else {
            EXPECT_NE(note.find(c.note), std::string::npos) << c.name << ": " << note;
        }
    }
}

// A render into a real pipe and into a FIFO: the reader gets a whole
// stream, the FIFO stays a FIFO, and standard output carries nothing else.
TEST(Pipes, StandardOutputAndFifosAreWrittenDirectly) {
    TempDir dir;
    ClipSpec spec;
    spec.frames = 3;
    ASSERT_TRUE(MakeClip(dir / "clip.mkv", spec));
    apptest::WriteFile(dir / "kinetra.txt", "");
    const std::string render = Program() + " render " + Quote(dir / "clip.mkv") + PluginOption();
    struct Case {
        const char* format;
        const char* reader;
        const char* expected;
    };
    const Case cases[] = {
        {"nut", "ffprobe -v error -show_entries stream=codec_name -of csv=p=0 -",
         "h264\npcm_s16le\n"},
        // The sound starts with the first picture, as in a file: a reader
        // that makes the frame rate constant adds no frame before it.
        {"nut", "ffmpeg -v error -i - -map 0:v -vsync cfr -f framecrc - | grep -c '^0,'", "3\n"},
        {"matroska",
         "ffprobe -v error -count_frames -show_entries stream=nb_read_frames "
         "-select_streams v -of csv=p=0 -",
         "3\n"},
        {"yuv4mpegpipe", "ffmpeg -v error -i - -f framecrc - | grep -c '^0,'", "3\n"},
        {"wav", "ffprobe -v error -show_entries stream=codec_name -of csv=p=0 -", "pcm_s16le\n"},
    };
    for (const Case& c : cases) {
        std::string out;
        std::string command = render + " -o - -f " + c.format + " 2>/dev/null | " + c.reader;
        EXPECT_EQ(Shell(command, &out), 0) << c.format;
        EXPECT_EQ(out, c.expected) << c.format;
    }

    // A FIFO with a reader on the other end.
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    std::string copied;
    std::thread reader([&] { copied = ReadAll(dir / "fifo"); });
    std::string text;
    int status = apptest::RunProgram("render " + Quote(dir / "clip.mkv") + " -o " +
                                         Quote(dir / "fifo") + " -f matroska -q" + PluginOption(),
                                     &text);
    if (status != 0) {
        // Nothing opened the FIFO for writing: let the reader see its end.
        int fd = open((dir / "fifo").c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) close(fd);
    }
    reader.join();
    EXPECT_EQ(status, 0) << text;
    struct stat info;
    ASSERT_EQ(stat((dir / "fifo").c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    apptest::WriteFile(dir / "copy.mkv", copied);
    std::vector<AVFrame*> frames = apptest::DecodeAllFrames(dir / "copy.mkv");
    EXPECT_EQ(frames.size(), 3u);
    apptest::FreeFrames(&frames);

    // A reader that goes away early is a write error (status 1), not a hang
    // or a silent death by signal. The stream (1.4 MB) is far more than a
    // pipe holds, so the render is still writing when the reader has gone,
    // however late the reader gets to run.
    ClipSpec large;
    large.width = 640;
    large.height = 360;
    large.frames = 4;
    ASSERT_TRUE(MakeClip(dir / "large.mkv", large));
    std::string closed;
    Shell("(" + Program() + " render " + Quote(dir / "large.mkv") + PluginOption() +
              " -o - -f yuv4mpegpipe -q 2>/dev/null; echo $? > " + Quote(dir / "status") +
              ") | head -c 100 >/dev/null",
          &closed);
    EXPECT_EQ(ReadAll(dir / "status"), "1\n");
}

// Streams follow what there is to write: no silent audio track for a
// source without audio, unless the script makes sound. Any codec goes into
// .mkv, and under -q no encoder logs a word of its own.
TEST(Streams, OutputStreamsFollowTheSourceAndTheScript) {
    TempDir dir;
    ClipSpec spec;
    spec.frames = 2;
    spec.audio_rate = 0;
    ASSERT_TRUE(MakeClip(dir / "silent.mkv", spec));
    spec.audio_rate = 48000;
    ASSERT_TRUE(MakeClip(dir / "clip.mkv", spec));
    struct Case {
        const char* name;
        const char* source;
        const char* script;
        const char* output;
        const char* flags;
        int status;
        const char* codecs;  // or part of the message when status != 0
    };
    const Case cases[] = {
        {"no audio in, none out", "silent.mkv", "", "a.mkv", "", 0, "h264"},
        {"a tone made by the script", "silent.mkv",
         "[0-1]\n a_tone is not a call\na_tone(0, 440, 0, 0.5)\n", "b.mkv", "", 0, "h264,aac"},
        {"m4a has no picture", "clip.mkv", "", "c.m4a", "", 0, "aac"},
        {"mp3 has no picture", "clip.mkv", "", "d.mp3", "", 0, "mp3"},
        {"audio-only output of a silent source", "silent.mkv", "", "e.wav", "", 1,
         "the source has no audio and the script makes none"},
        {"--no-audio with an audio-only output", "clip.mkv", "", "f.flac", " --no-audio", 1,
         "holds audio alone"},
        {"impossible pair", "clip.mkv", "", "g.mp4", " -c:v ffv1", 1,
         "mp4 container cannot hold ffv1"},
        {"png pictures in mkv", "clip.mkv", "", "h.mkv", " -c:v png", 0, "png,pcm_s16le"},
        {"H.265 quietly", "clip.mkv", "", "i.mkv", " -c:v libx265", 0, "hevc,pcm_s16le"},
    };
    for (const Case& c : cases) {
        apptest::WriteFile(dir / "kinetra.txt", c.script);
        std::string text;
        int status =
            apptest::RunProgram("render " + Quote(dir / c.source) + " -o " + Quote(dir / c.output) +
                                    " -q" + c.flags + PluginOption(),
                                &text);
        ASSERT_EQ(status, c.status) << c.name << ": " << text;
        if (c.status == 0) {
            EXPECT_EQ(StreamCodecs(dir / c.output), c.codecs) << c.name;
            EXPECT_EQ(text.find("[info]"), std::string::npos) << c.name << ": " << text;
        } else {
            EXPECT_NE(text.find(c.codecs), std::string::npos) << c.name << ": " << text;
            EXPECT_FALSE(apptest::FileExists(dir / c.output)) << c.name;
        }
    }
}

// A clip wider than the project: cut at the buffers' edge (and said so,
// once) without --canvas; whole with it.
TEST(Canvas, LargerBuffersHoldALargerClip) {
    TempDir dir;
    ClipSpec spec;
    spec.frames = 3;
    spec.audio_rate = 0;
    ASSERT_TRUE(MakeClip(dir / "clip.mkv", spec));
    spec.width = 128;
    spec.frames = 49;
    ASSERT_TRUE(MakeClip(dir / "wide.mkv", spec));
    // Frame 16 (f + 1) of the wide clip; its right half (bars of bits 4..7,
    // 16 pixels each) over the project's frame.
    apptest::WriteFile(dir / "kinetra.txt",
                       "readvideo(2, 16 * (f + 1), wide.mkv)\n"
                       "copy(2, 0, 64, 0, 64, 48, 0, 0)\n");
    struct Case {
        const char* flags;
        int32_t numbers[3];  // read back from the output's frames
        bool note;
    };
    // Frames 16, 32, 48 have bits 4, 5, and 4+5: read over 64 pixels as
    // bars 0-1, 2-3 and 0-3.
    const Case cases[] = {
        {"", {0, 1, 2}, true}, {" -q", {0, 1, 2}, false}, {" --canvas 128x48", {3, 12, 15}, false}};
    for (const Case& c : cases) {
        std::string text;
        ASSERT_EQ(apptest::RunProgram("render " + Quote(dir / "clip.mkv") + " -o " +
                                          Quote(dir / "out.mkv") + " -y --lossless" + c.flags +
                                          PluginOption(),
                                      &text),
                  0)
            << text;
        std::string note = dir / "wide.mkv" + " is 128x48, larger than the 64x48 buffers";
        EXPECT_EQ(text.find(note) != std::string::npos, c.note) << c.flags << ": " << text;
        if (c.note) {
            EXPECT_NE(text.find("--canvas 128x48 holds it"), std::string::npos) << text;
            EXPECT_EQ(text.find(note), text.rfind(note)) << "said once: " << text;
        }
        std::vector<AVFrame*> out = apptest::DecodeAllFrames(dir / "out.mkv");
        ASSERT_EQ(out.size(), 3u);
        for (int32_t f = 0; f < 3; ++f) {
            ASSERT_EQ(out[f]->width, 64) << "the output keeps the frame's size";
            PictureYC p;
            p.Resize(64, 48);
            ToYCConverter converter;
            ASSERT_TRUE(converter.Convert(out[f], p.pixels.data(), 64));
            EXPECT_EQ(apptest::ReadFrameNumber(p.pixels.data(), 64, 64), c.numbers[f])
                << c.flags << " frame " << f;
        }
        apptest::FreeFrames(&out);
    }
}

// What the program answers about itself, and a wrong use, run in-process: the
// status and a part of what goes to standard output and standard error.
TEST(ProgramConventions, HelpVersionAndWrongUse) {
    struct Case {
        std::string line;  // the arguments, split at spaces
        int status;
        std::string out;  // part of standard output
        std::string err;  // part of standard error; a wrong option's whole message
    };
    const std::string plugin = KINETRA_PLUGIN_PATH;
    const Case cases[] = {
        {"--version", 0, "libavcodec", ""},
        {"-V", 0, "plug-in: ", ""},
        {"--version --plugin " + plugin, 0, "plug-in: " + plugin + "\n", ""},
        {"--version --plugin /nowhere/k.auf", 0, "plug-in: not found", ""},
        {"help", 0, "kinetra render SOURCE -o OUTPUT", ""},
        {"-h", 0, "Script commands", ""},
        {"render --help", 0, "--pix-fmt", ""},
        {"help render", 0, "Containers that work", ""},
        {"demo --help", 0, "usage: kinetra demo", ""},
        {"help fill --markdown", 0, "| # | Argument |", ""},
        {"", 2, "", "usage: kinetra COMMAND"},
        {"render x -o y --fast", 2, "",
         "kinetra: unknown option '--fast'\nsee 'kinetra render --help'\n"},
        {"render x -o y --crf 99", 2, "",
         "kinetra: --crf takes a number 0..63, not '99'\nsee 'kinetra render --help'\n"},
        {"paint", 2, "", "kinetra: unknown command 'paint'\nsee 'kinetra help'\n"},
        {"help paint", 2, "", "no help on 'paint'"},
    };
    for (const Case& c : cases) {
        std::istringstream words(c.line);
        FILE* out = tmpfile();
        FILE* err = tmpfile();
        EXPECT_EQ(RunCommandLine({std::istream_iterator<std::string>(words), {}}, out, err),
                  c.status)
            << c.line;
        const std::string out_text = ReadBack(out), err_text = ReadBack(err);
        EXPECT_NE(out_text.find(c.out), std::string::npos) << c.line << ": " << out_text;
        if (c.err.rfind("kinetra: ", 0) == 0) {
            EXPECT_EQ(err_text, c.err) << c.line;
        } else {
            EXPECT_NE(err_text.find(c.err), std::string::npos) << c.line << ": " << err_text;
        }
        // Help and version leave standard error alone; a wrong use, standard output.
        EXPECT_EQ((c.status == 0 ? err_text : out_text), "") << c.line;
    }
    // main hands its arguments and streams to the same function.
    std::string text;
    EXPECT_EQ(Shell(Program() + " --help", &text), 0);
    EXPECT_NE(text.find("commands:"), std::string::npos) << text;
    EXPECT_EQ(apptest::RunProgram("paint", &text), 2);
    EXPECT_EQ(text, "kinetra: unknown command 'paint'\nsee 'kinetra help'\n");
}

// Progress lines for logs, the closing summary, --quiet and --verbose.
TEST(ProgramConventions, ProgressSummaryQuietAndVerbose) {
    TempDir dir;
    ClipSpec spec;
    spec.frames = 40;
    ASSERT_TRUE(MakeClip(dir / "clip.mkv", spec));
    apptest::WriteFile(dir / "kinetra.txt", "");
    const std::string base = "render " + Quote(dir / "clip.mkv") + " -y --lossless -o " +
                             Quote(dir / "out.mkv") + PluginOption();
    std::string text;
    ASSERT_EQ(apptest::RunProgram(base, &text), 0) << text;
    // Standard error is a file here: the note that the sound is copied, a
    // line per 5 % (2 frames), none for the last frame, then the summary.
    EXPECT_NE(text.find("kinetra: frame 2/40 (5%), "), std::string::npos) << text;
    EXPECT_NE(text.find("kinetra: frame 38/40 (95%), "), std::string::npos) << text;
    EXPECT_EQ(text.find("frame 40/40"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 21) << text;
    EXPECT_NE(text.find("kinetra: 40 frames in "), std::string::npos) << text;
    EXPECT_NE(text.find(" fps), " + dir / "out.mkv" + ", "), std::string::npos) << text;
    EXPECT_EQ(text.find("\r"), std::string::npos);

    ASSERT_EQ(apptest::RunProgram(base + " --quiet", &text), 0);
    EXPECT_EQ(text, "");
    ASSERT_EQ(apptest::RunProgram(base + " -q -v", &text), 0);
    EXPECT_NE(text.find("kinetra: decoder: ffv1 yuv420p 64x48"), std::string::npos) << text;
    EXPECT_NE(text.find("kinetra: encoder: ffv1 yuv420p (4:2:0 8-bit), pcm_s16le copied from the "
                        "source in matroska"),
              std::string::npos)
        << text;
}

// The manual page and the bash completion keep up with the program: every
// command, and every option its help lists, is in both.
TEST(ProgramConventions, ManualPageAndCompletionCoverEveryCommandAndOption) {
    const std::string man = ReadAll(std::string(KINETRA_SOURCE_DIR) + "/man/kinetra.1");
    const std::string completion =
        ReadAll(std::string(KINETRA_SOURCE_DIR) + "/completion/kinetra.bash");
    ASSERT_FALSE(man.empty());
    ASSERT_FALSE(completion.empty());
    // In roff a '-' is written "\\-".
    auto roff = [](const std::string& text) {
        std::string out;
        for (char c : text)
            out += c == '-' ? std::string("\\-") : std::string(1, c);
        return out;
    };
    // The options a help text lists: words that start with '-' and a letter
    // after a space or a comma.
    auto options_of = [](const std::string& help) {
        std::set<std::string> found;
        for (size_t i = 0; i + 1 < help.size(); ++i) {
            bool starts = help[i] == '-' && (i == 0 || help[i - 1] == ' ' || help[i - 1] == ',');
            size_t name = help[i + 1] == '-' ? i + 2 : i + 1;
            if (!starts || name >= help.size() ||
                !std::isalpha(static_cast<unsigned char>(help[name])))
                continue;
            size_t end = name;
            while (end < help.size() && (std::isalnum(static_cast<unsigned char>(help[end])) ||
                                         help[end] == '-' || help[end] == ':'))
                ++end;
            found.insert(help.substr(i, end - i));
            i = end;
        }
        return found;
    };
    for (const std::string& name : CommandNames()) {
        EXPECT_NE(man.find(".B " + name), std::string::npos) << "man page lacks " << name;
        EXPECT_NE(completion.find(name + ")"), std::string::npos) << "completion lacks " << name;
        const std::string help = CommandHelpText(name);
        const std::set<std::string> options = options_of(help);
        if (name == "render") {
            EXPECT_GT(options.size(), 20u);
        }
        for (const std::string& o : options) {
            EXPECT_NE(man.find(roff(o)), std::string::npos)
                << name << " " << o << " not in the man page";
            if (name != "help") {
                EXPECT_NE(completion.find(o), std::string::npos)
                    << name << " " << o << " not in the completion";
            }
        }
    }
}

}  // namespace
