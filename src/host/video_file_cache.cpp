#include "host/video_file_cache.h"

#include <cstring>

#include "platform/platform.h"
#include "script/script.h"

VideoFileCache g_video_files;

namespace {

void CloseSlot(const FilterTable* filter, VideoFileSlot* slot) {
    if (slot->handle != nullptr && filter->services->close_media_file != nullptr) {
        filter->services->close_media_file(slot->handle);
    }
    slot->handle = nullptr;
    slot->name[0] = '\0';
}

}  // namespace

int32_t OpenOrFindVideoFile(const FilterTable* filter, const char* name) {
    // A name that cannot be stored, or an empty one, never opens.
    size_t length = strnlen(name, kFileNameCapacity);
    if (length == 0 || length >= static_cast<size_t>(kFileNameCapacity)) return -1;

    for (int32_t s = 0; s < kVideoFileSlots; ++s) {
        if (g_video_files.slot[s].handle != nullptr &&
            std::strcmp(g_video_files.slot[s].name, name) == 0) {
            return s;
        }
    }

    const HostServices* services = filter->services;
    if (services == nullptr || services->open_media_file == nullptr) return -1;

    int32_t s = g_video_files.next_slot;
    VideoFileSlot* slot = &g_video_files.slot[s];
    CloseSlot(filter, slot);

    platform::SavedDirectory saved;
    platform::EnterDirectory(g_script_directory, &saved);
    slot->handle = services->open_media_file(name, &slot->info, 0);
    platform::RestoreDirectory(&saved);

    if (slot->handle == nullptr) return -1;
    std::memcpy(slot->name, name, length + 1);
    g_video_files.next_slot = (s + 1) % kVideoFileSlots;
    return s;
}

bool ReadVideoFrame(const FilterTable* filter, const char* name, int32_t frame,
                    PixelYC* destination) {
    int32_t s = OpenOrFindVideoFile(filter, name);
    if (s < 0) return false;
    if (filter->services->read_media_frame != nullptr) {
        filter->services->read_media_frame(g_video_files.slot[s].handle, destination, frame);
    }
    return true;
}

bool ReadVideoAudio(const FilterTable* filter, const FrameInfo* call, const char* name,
                    int32_t frame, int16_t* destination) {
    int32_t s = OpenOrFindVideoFile(filter, name);
    if (s < 0) return false;
    const HostServices* services = filter->services;
    void* handle = g_video_files.slot[s].handle;
    if (services->set_media_audio_format != nullptr) {
        services->set_media_audio_format(handle, g_project_audio_rate, call->channel_count);
    }
    if (services->read_media_audio != nullptr) {
        services->read_media_audio(handle, destination, frame);
    }
    return true;
}

void CloseVideoFiles(const FilterTable* filter) {
    for (int32_t s = 0; s < kVideoFileSlots; ++s) {
        if (filter->services != nullptr) {
            CloseSlot(filter, &g_video_files.slot[s]);
        } else {
            g_video_files.slot[s].handle = nullptr;
            g_video_files.slot[s].name[0] = '\0';
        }
    }
}
