// Polygons into triangles. A convex polygon becomes a fan from its first corner, as other OBJ
// readers split it; any other is split by ear clipping in the plane of its Newell normal. Both
// give count - 2 triangles that keep the polygon's winding and together cover its area.
#include "qzobj_import.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

struct point {
    double u, v;
};

// Twice the signed area of the triangle a, b, c: positive when it turns counter-clockwise.
double turn(const point &a, const point &b, const point &c) {
    return (b.u - a.u) * (c.v - a.v) - (b.v - a.v) * (c.u - a.u);
}

void fan(unsigned count, unsigned *triangles) {
    for (unsigned i = 1; i + 1 < count; i++) {
        *triangles++ = 0;
        *triangles++ = i;
        *triangles++ = i + 1;
    }
}

// Two corners at one place make the polygon touch itself: no ear test can be trusted there.
// Compared by their bits, which order even NaN coordinates.
bool repeats_a_position(const qz_vec *corners, unsigned count) {
    std::vector<std::array<uint32_t, 3>> sorted(count);
    for (unsigned i = 0; i < count; i++)
        memcpy(sorted[i].data(), &corners[i], sizeof corners[i]);
    std::sort(sorted.begin(), sorted.end());
    return std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end();
}

// The corners seen from the side the Newell normal points to, on the plane that drops its
// largest component: the polygon then turns counter-clockwise. False for a polygon without area.
bool project(const qz_vec *corners, unsigned count, std::vector<point> *out) {
    double n[3] = {0, 0, 0};
    for (unsigned i = 0; i < count; i++) {
        const qz_vec &a = corners[i], &b = corners[(i + 1) % count];
        n[0] += (double{a.y} - b.y) * (double{a.z} + b.z);
        n[1] += (double{a.z} - b.z) * (double{a.x} + b.x);
        n[2] += (double{a.x} - b.x) * (double{a.y} + b.y);
    }
    int axis = 0;
    for (int k = 1; k < 3; k++)
        if (std::fabs(n[k]) > std::fabs(n[axis]))
            axis = k;
    if (!(std::fabs(n[axis]) > 0)) // NaN coordinates too
        return false;
    const double flip = n[axis] > 0 ? 1 : -1;
    out->resize(count);
    for (unsigned i = 0; i < count; i++) {
        const double c[3] = {corners[i].x, corners[i].y, corners[i].z};
        (*out)[i] = {c[(axis + 1) % 3], flip * c[(axis + 2) % 3]};
    }
    return true;
}

// Ear clipping over a ring of the corners. A corner is an ear when it does not turn clockwise and
// no corner that does (a reflex one) lies inside or on its triangle; only the two neighbours of
// a clipped ear change, so each clip costs one pass over the ring. A flat corner (on the line
// between its neighbours) is an ear with an empty triangle. Should no ear be left, which only a
// polygon that crosses itself allows, the rest of the ring becomes a fan.
void clip_ears(const std::vector<point> &p, unsigned *triangles) {
    const unsigned count = static_cast<unsigned>(p.size());
    std::vector<unsigned> prev(count), next(count);
    for (unsigned i = 0; i < count; i++) {
        prev[i] = (i + count - 1) % count;
        next[i] = (i + 1) % count;
    }
    std::vector<char> reflex(count), ear(count);
    const auto classify = [&](unsigned i) { reflex[i] = turn(p[prev[i]], p[i], p[next[i]]) < 0; };
    const auto is_ear = [&](unsigned i, unsigned left) {
        if (reflex[i])
            return false;
        const point &a = p[prev[i]], &b = p[i], &c = p[next[i]];
        if (turn(a, b, c) == 0)
            return true;
        for (unsigned k = next[next[i]], n = 0; n + 3 < left; k = next[k], n++)
            if (reflex[k] && turn(a, b, p[k]) >= 0 && turn(b, c, p[k]) >= 0 &&
                turn(c, a, p[k]) >= 0)
                return false;
        return true;
    };
    for (unsigned i = 0; i < count; i++)
        classify(i);
    std::vector<unsigned> candidates;
    for (unsigned i = count; i-- > 0;) {
        ear[i] = is_ear(i, count);
        if (ear[i])
            candidates.push_back(i);
    }
    unsigned left = count, start = 0;
    while (left > 3 && !candidates.empty()) {
        const unsigned i = candidates.back();
        candidates.pop_back();
        if (!ear[i])
            continue;
        *triangles++ = prev[i];
        *triangles++ = i;
        *triangles++ = next[i];
        const unsigned a = prev[i], c = next[i];
        next[a] = c;
        prev[c] = a;
        ear[i] = 0;
        start = a;
        left--;
        for (unsigned k : {c, a}) {
            classify(k);
            ear[k] = is_ear(k, left);
            if (ear[k])
                candidates.push_back(k);
        }
    }
    // The last three corners, or the rest of a ring without ears, as a fan.
    for (unsigned k = next[start]; next[k] != start; k = next[k]) {
        *triangles++ = start;
        *triangles++ = k;
        *triangles++ = next[k];
    }
}

} // namespace

void triangulate_polygon(const qz_vec *corners, unsigned count, unsigned *triangles) {
    std::vector<point> p;
    if (count == 3 || repeats_a_position(corners, count) || !project(corners, count, &p))
        return fan(count, triangles);
    bool convex = true;
    for (unsigned i = 0; i < count && convex; i++)
        convex = turn(p[(i + count - 1) % count], p[i], p[(i + 1) % count]) >= 0;
    if (convex)
        return fan(count, triangles);
    clip_ears(p, triangles);
}
