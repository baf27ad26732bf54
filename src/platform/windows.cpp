// The platform services on Windows: the kernel's file times and current
// directory, and USER32's message box.
//
// Where Windows and Linux differ: on Windows a path is in the system's ANSI
// code page (Shift-JIS on the editor's Japanese Windows) and directories end
// in '\', whose byte 0x5C is also the second byte of two-byte characters such
// as "ソ" and "表", so the directory of a path is found by walking it character
// by character; Linux paths are UTF-8 with '/', which no byte of a multi-byte
// character equals. Text is drawn by GDI here (text_engine_gdi.cpp) and by
// FreeType there, so anti-aliased letter edges differ slightly between the two.
#include "platform/platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <io.h>

#include <cstdio>

namespace platform {

const char kPathSeparator = '\\';

namespace {

// "メモリが確保できません。" and "Kinetra" in Shift-JIS.
const char kOutOfMemoryText[] =
    "\x83\x81\x83\x82\x83\x8A\x82\xAA\x8A\x6D\x95\xDB\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1"
    "\x81\x42";
const char kCaption[] = "Kinetra";

}  // namespace

void ShowOutOfMemoryMessage() {
    MessageBoxA(nullptr, kOutOfMemoryText, kCaption, MB_OK | MB_ICONERROR);
}

void EnterDirectory(const char* directory, SavedDirectory* saved) {
    DWORD length = GetCurrentDirectoryA(sizeof saved->path, saved->path);
    saved->valid = length > 0 && length < sizeof saved->path;
    if (directory != nullptr && directory[0] != '\0' && !SetCurrentDirectoryA(directory)) {
        // Stay where we are; the host resolves names against that.
    }
}

void RestoreDirectory(const SavedDirectory* saved) {
    if (saved->valid && !SetCurrentDirectoryA(saved->path)) {
        // Nothing better to do: the directory we came from is gone.
    }
}

// The script is opened for reading without sharing, as an existing file; an
// editor that still holds it open for writing makes this fail, and the load
// is tried again a second later.
bool FileLastWriteTime(const char* path, int64_t* time) {
    HANDLE file =
        CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    FILETIME written;
    bool ok = GetFileType(file) == FILE_TYPE_DISK && GetFileTime(file, nullptr, nullptr, &written);
    CloseHandle(file);
    if (!ok) return false;
    *time = static_cast<int64_t>((static_cast<uint64_t>(written.dwHighDateTime) << 32) |
                                 written.dwLowDateTime);
    return true;
}

// Opening a file in a directory never waits on Windows (pipes have names of
// their own, \\.\pipe\...); the handle's type is checked all the same.
std::FILE* OpenRegularFile(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return nullptr;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

size_t DirectoryPartLength(const char* path, size_t capacity) {
    return ShiftJisDirectoryPartLength(path, capacity, kPathSeparator);
}

}  // namespace platform

// The plug-in has nothing to do when threads start or end: loading it only
// turns those notifications off. Its workers are joined by the host's exit
// call (src/common/parallel.h).
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
