#include "media_services.h"

void SetMediaBufferSize(int32_t, int32_t) {}
void SetMediaAudioBlock(int32_t) {}
void FillMediaServices(HostServices*) {}
void CloseAllMedia() {}
