// The glTF parser's implementation, compiled here once for every build (the Windows programs
// too, from the same headers). It never decodes an image and never touches the file system
// itself: the reader hands it the model's bytes, and its callbacks read buffers through the
// tools' own file functions.
#include <fstream> // its writer's, which the importer never calls

#define TINYGLTF_IMPLEMENTATION
#include "qzobj_gltf.h"
