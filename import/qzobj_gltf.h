// The glTF parser as the importer uses it: no image decoding (an image is kept as its file's
// bytes), no file access of its own, JSON through nlohmann's library.
#ifndef QZOBJ_GLTF_H
#define QZOBJ_GLTF_H

#define TINYGLTF_NO_STB_IMAGE
#define TINYGLTF_NO_STB_IMAGE_WRITE
#define TINYGLTF_NO_EXTERNAL_IMAGE
#define TINYGLTF_NO_FS
#include <tiny_gltf.h>

#endif
