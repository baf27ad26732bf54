#include "plugin/filter_runner.h"

#include <algorithm>
#include <cstring>

#include "colour/colour.h"
#include "plugin/services.h"

namespace {

// How much longer than its source a script may make the project by default.
constexpr int64_t kDefaultLengthening = 600;  // seconds

}  // namespace

int64_t DefaultLengthBound(const Project& project) {
    AVRational fps = project.frame_rate();
    int64_t ten_minutes = av_rescale(kDefaultLengthening, fps.num, fps.den);
    return std::min<int64_t>(INT32_MAX, project.source_frames() + ten_minutes);
}

bool FilterRunner::LoadPlugin(const std::string& path, std::string* error) {
    return ::LoadPlugin(path, &plugin_, error);
}

bool FilterRunner::OpenSource(const std::string& path, std::string* error) {
    return project_.Open(path, error);
}

SliderTable FilterRunner::Sliders() const {
    SliderTable table;
    const FilterTable* v = plugin_.video;
    for (int32_t i = 0; i < KINETRA_TRACK_COUNT; ++i) {
        bool described = v != nullptr && i < v->track_count;
        table.names[i] = described && v->track_names != nullptr && v->track_names[i] != nullptr
                             ? v->track_names[i]
                             : "slider " + std::to_string(i);
        table.defaults[i] = described && v->track_defaults ? v->track_defaults[i] : 0;
        table.minimums[i] = described && v->track_minimums ? v->track_minimums[i] : 0;
        table.maximums[i] = described && v->track_maximums ? v->track_maximums[i] : 0;
        table.maximums[i] = std::max(table.maximums[i], table.minimums[i]);
    }
    return table;
}

void FilterRunner::Start(const RunSetup& setup) {
    max_w_ = std::max(project_.width(), setup.max_w);
    max_h_ = std::max(project_.height(), setup.max_h);
    project_.SetLengthBound(setup.length_bound > 0 ? setup.length_bound
                                                   : DefaultLengthBound(project_));
    tracks_ = setup.sliders;
    second_image_is_frame_ = setup.second_image_is_frame;
    bool canvas = max_w_ != project_.width() || max_h_ != project_.height();
    passes_picture_ = setup.passes_picture && !canvas;
    project_.SetAheadForm(passes_picture_          ? Project::AheadForm::kAsDecoded
                          : second_image_is_frame_ ? Project::AheadForm::kTwoCopies
                                                   : Project::AheadForm::kOneCopy);
    FillHostServices(&services_);
    BindProject(&project_);
    TellSourcePath(setup.script_path);
    MediaServices::Bind(&media_);
    media_.SetBufferSize(max_w_, max_h_);
    media_.SetNotesShown(setup.notes_shown);
    InitPlugin(&plugin_, tracks_.data(), &services_);
    started_ = true;
}

void FilterRunner::SetSliders(const SliderValues& values) {
    tracks_ = values;
}

void FilterRunner::FillFrameInfo(int32_t f, FrameInfo* info) {
    std::memset(info, 0, sizeof *info);
    info->width = project_.width();
    info->height = project_.height();
    info->max_w = max_w_;
    info->max_h = max_h_;
    info->frame = f;
    info->frame_count = project_.frame_count();
    info->edit_handle = &project_;
}

void FilterRunner::PrepareVideo(int32_t f) {
    PrepareFrom(project_.FrameForCopies(f), project_.width(), project_.height(), project_.width());
}

void FilterRunner::SizeImages() {
    // Storage swapped with frames read ahead may be of another size.
    size_t count = static_cast<size_t>(max_w_) * max_h_;
    if (edit_.size() != count) edit_.resize(count);
    if (second_image_is_frame_ && temp_.size() != count) temp_.resize(count);
}

// The picture's rows into both buffers of max_w x max_h pixels; on a larger
// canvas the rest is black, whatever the last frame left there.
void FilterRunner::PrepareFrom(const PixelYC* source, int32_t w, int32_t h, int32_t stride) {
    SizeImages();
    if (w != max_w_ || h != max_h_) {
        std::fill(edit_.begin(), edit_.end(), PixelYC{0, 0, 0});
        if (second_image_is_frame_) std::fill(temp_.begin(), temp_.end(), PixelYC{0, 0, 0});
    }
    CopyTopLeft(source, w, h, stride, edit_.data(), max_w_, max_h_, max_w_);
    if (second_image_is_frame_) {
        CopyTopLeft(source, w, h, stride, temp_.data(), max_w_, max_h_, max_w_);
    }
}

bool FilterRunner::RunVideo(int32_t f, FilterImage* image) {
    // Frames read ahead come with their working copies made, when the
    // buffers are the frame's size.
    bool canvas = max_w_ != project_.width() || max_h_ != project_.height();
    PixelBuffer* temp = second_image_is_frame_ ? &temp_ : nullptr;
    if (canvas || passes_picture_ || !project_.TakeCopies(f, &edit_, temp)) PrepareVideo(f);
    return CallVideo(f, image);
}

bool FilterRunner::RunVideoPassing(int32_t f, FilterImage* image, FramePtr* decoded) {
    decoded->reset();
    if (!passes_picture_) return RunVideo(f, image);
    *decoded = project_.TakeDecoded(f);
    const AVFrame* picture = decoded->get();
    if (picture == nullptr || picture->width != project_.width() ||
        picture->height != project_.height() || picture->format != project_.pixel_format()) {
        decoded->reset();
        return RunVideo(f, image);
    }
    SizeImages();
    return CallVideo(f, image);
}

bool FilterRunner::CallVideo(int32_t f, FilterImage* image) {
    return CallVideoSized(f, project_.width(), project_.height(), image);
}

bool FilterRunner::CallVideoSized(int32_t f, int32_t width, int32_t height, FilterImage* image) {
    FrameInfo info;
    FillFrameInfo(f, &info);
    info.width = width;
    info.height = height;
    info.edit_pixels = edit_.data();
    info.temp_pixels = second_image_is_frame_ ? temp_.data() : UnfilledSecondImage();
    int32_t ok = plugin_.video->process(plugin_.video, &info);
    image->pixels = info.edit_pixels;
    image->width = std::clamp(info.width, 1, max_w_);
    image->height = std::clamp(info.height, 1, max_h_);
    image->stride = max_w_;
    return ok != 0;
}

bool FilterRunner::RunVideoOn(int32_t f, const PixelYC* pixels, int32_t width, int32_t height,
                              int32_t stride, FilterImage* image) {
    width = std::min(width, max_w_);
    height = std::min(height, max_h_);
    PrepareFrom(pixels, width, height, stride);
    return CallVideoSized(f, width, height, image);
}

PixelYC* FilterRunner::UnfilledSecondImage() {
    size_t count = static_cast<size_t>(max_w_) * max_h_;
    if (unfilled_count_ != count) {
        // Zero pages that the system maps only where they are touched.
        unfilled_.reset(static_cast<PixelYC*>(std::calloc(count, sizeof(PixelYC))));
        unfilled_count_ = unfilled_ ? count : 0;
    }
    if (unfilled_) return unfilled_.get();
    if (temp_.size() != count) temp_.resize(count);  // (throws when there is no memory)
    return temp_.data();
}

bool FilterRunner::RunAudio(int32_t f, int32_t* samples) {
    int32_t n = project_.AudioLength(f);
    audio_.assign(static_cast<size_t>(n) * project_.channels(), 0);
    project_.ReadAudio(f, audio_.data());
    *samples = n;
    return RunAudioOn(f, audio_.data(), n, project_.channels());
}

bool FilterRunner::RunAudioOn(int32_t f, int16_t* samples, int32_t count, int32_t channels) {
    FrameInfo info;
    FillFrameInfo(f, &info);
    info.audio_samples = samples;
    info.sample_count = count;
    info.channel_count = channels;
    media_.SetAudioBlock(count);
    return plugin_.audio->process(plugin_.audio, &info) != 0;
}

std::vector<KinetraRunFailure> FilterRunner::TakeFailures() {
    std::vector<KinetraRunFailure> failures = TakeRunFailures(&plugin_);
    failures.erase(std::remove_if(failures.begin(), failures.end(),
                                  [this](const KinetraRunFailure& failure) {
                                      return told_lines_.count(failure.line) != 0;
                                  }),
                   failures.end());
    return failures;
}

void FilterRunner::Stop() {
    // exit closes the plug-in's files through the services, so they go after it.
    UnloadPlugin(&plugin_);
    if (started_) {
        media_.CloseAll();
        MediaServices::Bind(nullptr);
        BindProject(nullptr);
        TellSourcePath("");
        started_ = false;
    }
    project_.StopReadAhead();
}
