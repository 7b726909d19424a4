#include "scene/KeyValueFile.h"
