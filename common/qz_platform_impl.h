// What the two halves of the platform module share with its common part; no other file includes
// this.
#ifndef QZ_PLATFORM_IMPL_H
#define QZ_PLATFORM_IMPL_H

#include <string>

// The name of a temporary file beside target: its directory part as it stands (up to the last of
// separators), then a dot, the target's own name (cut short so that the whole stays a valid
// name) and a random tail.
std::string temp_name(const char *target, const char *separators);

#endif
