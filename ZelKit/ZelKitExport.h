#pragma once

#if defined(ZELKIT_BUILDING)
#define ZELKIT_EXPORT __attribute__((visibility("default")))
#else
#define ZELKIT_EXPORT
#endif
