// qzb_tinyobj: tinyobjloader's parse of a model and its material libraries, as a program of its
// own so that it is timed the same way as the importer.
//
//   qzb_tinyobj FILE.obj
#include <cstdio>
#include <string>
#include <vector>

#include <tiny_obj_loader.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        fputs("usage: qzb_tinyobj FILE.obj\n", stderr);
        return 2;
    }
    const std::string file = argv[1];
    const size_t slash = file.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : file.substr(0, slash + 1);
    tinyobj::attrib_t attrib;
    std::vector<tinyobj::shape_t> shapes;
    std::vector<tinyobj::material_t> materials;
    std::string warn, err;
    if (!tinyobj::LoadObj(&attrib, &shapes, &materials, &warn, &err, file.c_str(), dir.c_str())) {
        fprintf(stderr, "qzb_tinyobj: %s\n", err.c_str());
        return 1;
    }
    size_t corners = 0;
    for (const tinyobj::shape_t &s : shapes)
        corners += s.mesh.indices.size();
    printf("%zu positions, %zu corners, %zu materials\n", attrib.vertices.size() / 3, corners,
           materials.size());
    return 0;
}
