#include "Quorvane/config/object_id.h"

std::atomic<uint32_t> g_NextObjectId{1000};
