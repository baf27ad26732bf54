// A platform file reaching up into the script layer: the check must refuse it.
#include "script/script.h"
