#include "Quorvane/config/object_id.h"

uint32_t g_NextObjectId = 1000;
