/* Binary interface between the host editor and the Kinetra plug-in.
 *
 * Every record keeps its field order and the compiler's natural alignment, so
 * that on a 32-bit target the offsets are those the host expects (checked by
 * the static assertions at the end). On 64-bit Linux the same declarations are
 * the contract between the `kinetra` host program, the tests and the plug-in.
 * Plain C so that any host, in any language with a C FFI, can include it. */
#ifndef KINETRA_PLUGIN_ABI_H
#define KINETRA_PLUGIN_ABI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One pixel: Y 0..4096 black to white, Cb and Cr centred on 0. */
typedef struct PixelYC {
    int16_t y;
    int16_t cb;
    int16_t cr;
} PixelYC;

typedef struct FilterTable FilterTable;
typedef struct FrameInfo FrameInfo;
typedef struct SourceInfo SourceInfo;
typedef struct HostServices HostServices;

typedef int32_t (*FilterProcessFn)(FilterTable* filter, FrameInfo* frame);
typedef int32_t (*FilterInitFn)(FilterTable* filter);
typedef int32_t (*FilterExitFn)(FilterTable* filter);

/* Flag bits of FilterTable.flags. */
enum {
    KINETRA_FLAG_HOST_DEFAULT = 0x40000, /* set in both records; the host's meaning */
    KINETRA_FLAG_AUDIO = 0x200000        /* marks the audio filter */
};

enum { KINETRA_TRACK_COUNT = 10 };

/* A filter as registered with the host: written by the plug-in, except
 * track_values and services, which the host fills after registration. */
struct FilterTable {
    int32_t flags;
    uintptr_t reserved_4;
    uintptr_t reserved_8;
    const char* name;
    int32_t track_count;
    const char* const* track_names;
    const int32_t* track_defaults;
    const int32_t* track_minimums;
    const int32_t* track_maximums;
    uintptr_t reserved_36;
    uintptr_t reserved_40;
    uintptr_t reserved_44;
    FilterProcessFn process;
    FilterInitFn init;
    FilterExitFn exit;
    uintptr_t reserved_60;
    uintptr_t reserved_64;
    int32_t* track_values;
    uintptr_t reserved_72;
    uintptr_t reserved_76;
    uintptr_t reserved_80;
    const char* info_text;
    uintptr_t reserved_88;
    uintptr_t reserved_92;
    HostServices* services;
    uintptr_t reserved_100[10];
};

/* The per-call record: one video frame or one audio block. */
struct FrameInfo {
    int32_t reserved_0;
    PixelYC* edit_pixels; /* image buffer 0, shown by the host; writable */
    PixelYC* temp_pixels; /* image buffer 1, same size */
    int32_t width;        /* visible output size; writable */
    int32_t height;
    int32_t max_w;        /* pixels per row of every image */
    int32_t max_h;        /* rows of every image */
    int32_t frame;        /* frame being rendered, 0-based */
    int32_t frame_count;  /* frames of the project */
    int32_t reserved_36;
    int32_t reserved_40;
    int16_t* audio_samples; /* interleaved block of this call; audio buffer 0 */
    int32_t sample_count;   /* sample frames in the block */
    int32_t channel_count;
    uintptr_t reserved_56;
    void* edit_handle;      /* opaque project handle, passed back to services */
};

/* Facts about a source file, filled by the host. The host may keep its own
 * facts in the reserved words; the plug-in reads only path and audio_rate. */
struct SourceInfo {
    int32_t reserved_0;
    const char* path;
    int32_t reserved_8[4];
    int32_t audio_rate;
    int32_t reserved_28[9];
};

typedef void (*WorkerThreadFn)(int32_t thread_id, int32_t thread_count, void* p1, void* p2);

/* The host's service table: 66 pointer-sized slots, slot i at 32-bit offset
 * 4*i. Slots without a name are reserved. */
struct HostServices {
    uintptr_t reserved_0_9[10];
    int32_t (*set_timeline_length)(void* edit, int32_t frames); /* 10 */
    uintptr_t reserved_11_22[12];
    int32_t (*query_source_file)(void* edit, SourceInfo* info); /* 23 */
    uintptr_t reserved_24_42[19];
    int32_t (*read_timeline_audio)(FilterTable* filter, void* edit, int32_t frame,
                                   int16_t* buf); /* 43 */
    int32_t (*reserve_frame_cache)(FilterTable* filter, int32_t w, int32_t h, int32_t count,
                                   int32_t flag); /* 44 */
    uintptr_t reserved_45_49[5];
    PixelYC* (*get_rendered_frame)(FilterTable* filter, void* edit, int32_t frame, int32_t* w,
                                   int32_t* h); /* 50 */
    int32_t (*run_on_worker_threads)(WorkerThreadFn fn, void* p1, void* p2); /* 51 */
    uintptr_t reserved_52_53[2];
    int32_t (*load_image_file)(PixelYC* buf, const char* file, int32_t* w, int32_t* h,
                               int32_t flag); /* 54 */
    uintptr_t reserved_55_57[3];
    void* (*open_media_file)(const char* file, SourceInfo* info, int32_t flag); /* 58 */
    int32_t (*close_media_file)(void* handle);                                   /* 59 */
    int32_t (*read_media_frame)(void* handle, PixelYC* buf, int32_t frame);      /* 60 */
    int32_t (*read_media_audio)(void* handle, int16_t* buf, int32_t frame);      /* 61 */
    uintptr_t reserved_62_64[3];
    int32_t (*set_media_audio_format)(void* handle, int32_t rate, int32_t channels); /* 65 */
};

typedef FilterTable** (*GetFilterTableListFn)(void);

/* Run-time failure reports, for hosts other than the editor.
 *
 * A script line whose argument fails to evaluate, or whose file cannot be
 * opened, behaves as it always has (the value is 0, the file reads nothing);
 * besides, the plug-in keeps a report of the first such failure of each line
 * until a host takes it. The editor's service table has no slot for this and
 * its slots are the editor's own, so the reports travel the other way: the
 * plug-in exports KinetraTakeRunFailures, which a host looks up by name
 * (dlsym) and calls after a process call, on the thread that made it. The
 * Windows build does not export it (its module-definition file lists only
 * GetFilterTableList), so the editor never sees it. */
enum { KINETRA_RUN_FAILURE_TEXT = 240 };

typedef struct KinetraRunFailure {
    int32_t line;  /* 1-based line of the script file */
    int32_t frame; /* the frame being processed when it failed */
    char message[KINETRA_RUN_FAILURE_TEXT]; /* NUL-terminated, in the script's encoding */
} KinetraRunFailure;

/* Moves up to `capacity` reports, oldest first, into `out`; returns how many.
 * A report is handed out once. */
typedef int32_t (*KinetraTakeRunFailuresFn)(KinetraRunFailure* out, int32_t capacity);
#define KINETRA_TAKE_RUN_FAILURES_NAME "KinetraTakeRunFailures"

#ifdef __cplusplus
}
#endif

/* The layout is the host's 32-bit one; prove it wherever pointers are 4 bytes. */
#if defined(__cplusplus) && UINTPTR_MAX == 0xFFFFFFFFu
#include <stddef.h>
#define KINETRA_ABI_AT(type, field, offset) static_assert(offsetof(type, field) == (offset), #type "." #field)
KINETRA_ABI_AT(FilterTable, name, 12);
KINETRA_ABI_AT(FilterTable, track_count, 16);
KINETRA_ABI_AT(FilterTable, track_names, 20);
KINETRA_ABI_AT(FilterTable, track_maximums, 32);
KINETRA_ABI_AT(FilterTable, process, 48);
KINETRA_ABI_AT(FilterTable, init, 52);
KINETRA_ABI_AT(FilterTable, exit, 56);
KINETRA_ABI_AT(FilterTable, track_values, 68);
KINETRA_ABI_AT(FilterTable, info_text, 84);
KINETRA_ABI_AT(FilterTable, services, 96);
static_assert(sizeof(FilterTable) == 140, "FilterTable size");
KINETRA_ABI_AT(FrameInfo, edit_pixels, 4);
KINETRA_ABI_AT(FrameInfo, temp_pixels, 8);
KINETRA_ABI_AT(FrameInfo, width, 12);
KINETRA_ABI_AT(FrameInfo, max_w, 20);
KINETRA_ABI_AT(FrameInfo, frame, 28);
KINETRA_ABI_AT(FrameInfo, frame_count, 32);
KINETRA_ABI_AT(FrameInfo, audio_samples, 44);
KINETRA_ABI_AT(FrameInfo, sample_count, 48);
KINETRA_ABI_AT(FrameInfo, channel_count, 52);
KINETRA_ABI_AT(FrameInfo, edit_handle, 60);
KINETRA_ABI_AT(SourceInfo, path, 4);
KINETRA_ABI_AT(SourceInfo, audio_rate, 24);
static_assert(sizeof(SourceInfo) == 64, "SourceInfo size");
KINETRA_ABI_AT(HostServices, set_timeline_length, 40);
KINETRA_ABI_AT(HostServices, query_source_file, 92);
KINETRA_ABI_AT(HostServices, read_timeline_audio, 172);
KINETRA_ABI_AT(HostServices, reserve_frame_cache, 176);
KINETRA_ABI_AT(HostServices, get_rendered_frame, 200);
KINETRA_ABI_AT(HostServices, run_on_worker_threads, 204);
KINETRA_ABI_AT(HostServices, load_image_file, 216);
KINETRA_ABI_AT(HostServices, open_media_file, 232);
KINETRA_ABI_AT(HostServices, close_media_file, 236);
KINETRA_ABI_AT(HostServices, read_media_frame, 240);
KINETRA_ABI_AT(HostServices, read_media_audio, 244);
KINETRA_ABI_AT(HostServices, set_media_audio_format, 260);
static_assert(sizeof(HostServices) == 264, "HostServices size");
#undef KINETRA_ABI_AT
#endif

#endif
