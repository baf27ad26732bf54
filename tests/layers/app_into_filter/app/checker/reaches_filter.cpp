// A host file reaching into a filter of the plug-in: the check must refuse it.
#include "video/video_commands.h"
