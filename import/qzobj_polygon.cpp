// Polygons into triangles. A convex polygon becomes a fan from its first corner, as other OBJ
// readers split it; any other is split by ear clipping in the plane of its Newell normal. Both
// give count - 2 triangles that keep the polygon's winding and together cover its area.
#include "qzobj_import.h"

#include <cmath>
#include <vector>

namespace {

struct point {
    double u, v;
    bool operator==(const point &) const = default;
};

// Twice the signed area of the triangle a, b, c: positive when it turns counter-clockwise.
double turn(const point &a, const point &b, const point &c) {
    return (b.u - a.u) * (c.v - a.v) - (b.v - a.v) * (c.u - a.u);
}

// Whether the outline at b runs out to it and straight back: b then encloses a full turn (or
// nothing), never the half turn of a corner on a straight edge.
bool spike(const point &a, const point &b, const point &c) {
    return turn(a, b, c) == 0 && (a.u - b.u) * (c.u - b.u) + (a.v - b.v) * (c.v - b.v) > 0;
}

// Whether the way from x to q runs strictly between the rays from x to y and from x to z, which
// turn counter-clockwise by less than half a turn.
bool between(const point &x, const point &y, const point &z, const point &q) {
    return turn(x, y, q) > 0 && turn(x, q, z) > 0;
}

// What the edge from q to r adds to the number of times the outline winds counter-clockwise
// around m: +1 or -1 where it crosses the horizontal line through m on m's right, else 0.
int winding(const point &q, const point &r, const point &m) {
    const bool below = q.v <= m.v;
    if (below == (r.v <= m.v))
        return 0;
    const double t = turn(q, r, m);
    return below ? t > 0 : -(t < 0);
}

// A fan from corner apex.
void fan(unsigned count, unsigned *triangles, unsigned apex = 0) {
    for (unsigned i = 1; i + 1 < count; i++) {
        *triangles++ = apex;
        *triangles++ = (apex + i) % count;
        *triangles++ = (apex + i + 1) % count;
    }
}

// The corners seen from the side the Newell normal points to, on the plane that drops its
// largest component: the polygon then turns counter-clockwise. False for a polygon without area
// or with a coordinate that is not a finite number.
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
    if (!std::isfinite(n[0] + n[1] + n[2]) || n[axis] == 0)
        return false;
    const double flip = n[axis] > 0 ? 1 : -1;
    out->resize(count);
    for (unsigned i = 0; i < count; i++) {
        const double c[3] = {corners[i].x, corners[i].y, corners[i].z};
        (*out)[i] = {c[(axis + 1) % 3], flip * c[(axis + 2) % 3]};
    }
    return true;
}

// Ear clipping over a ring of the corners. A corner b between a and c is an ear when it turns
// counter-clockwise, no corner that does not (a reflex or flat one, or a spike) lies inside or on
// its triangle, and the outline winds around the triangle. Modelling programs write a polygon
// with a hole as one outline that runs in to the hole along an edge, round it and back out along
// the same edge, so an outline may pass one place twice: a corner at the place of a, b or c then
// does not block the ear, but none of its edges may head into the triangle there, and the winding
// turns away the triangle between two spikes out of one place, which holds nothing. Only the two
// neighbours of a clipped ear change, so each clip costs one pass over the ring. A corner on the
// line through its neighbours is clipped, as a triangle without area, only when no ear is left;
// with none of those either, which only a polygon that crosses itself allows, the rest of the
// ring becomes a fan.
void clip_ears(const std::vector<point> &p, unsigned *triangles) {
    const unsigned count = static_cast<unsigned>(p.size());
    std::vector<unsigned> prev(count), next(count);
    for (unsigned i = 0; i < count; i++) {
        prev[i] = (i + count - 1) % count;
        next[i] = (i + 1) % count;
    }
    std::vector<double> bend(count); // the turn at each corner of the ring
    const auto classify = [&](unsigned i) { bend[i] = turn(p[prev[i]], p[i], p[next[i]]); };
    const auto is_ear = [&](unsigned i) {
        const point corner[3] = {p[prev[i]], p[i], p[next[i]]};
        const point &a = corner[0], &b = corner[1], &c = corner[2];
        if (!(bend[i] > 0))
            return false;
        const point m = {(a.u + b.u + c.u) / 3, (a.v + b.v + c.v) / 3};
        int wound = winding(b, c, m);
        for (unsigned k = next[i]; k != i; k = next[k]) {
            const point &q = p[k];
            wound += winding(q, p[next[k]], m);
            if (!(turn(a, b, q) >= 0 && turn(b, c, q) >= 0 && turn(c, a, q) >= 0))
                continue;
            int at = 0;
            while (at < 3 && !(corner[at] == q))
                at++;
            if (at == 3) {
                if (bend[k] <= 0)
                    return false;
                continue;
            }
            // The angle of the triangle at that corner, counter-clockwise from y to z.
            const point &y = corner[(at + 1) % 3], &z = corner[(at + 2) % 3];
            if (between(q, y, z, p[prev[k]]) || between(q, y, z, p[next[k]]))
                return false;
        }
        return wound > 0;
    };
    std::vector<unsigned> candidates;
    for (unsigned i = count; i-- > 0;) {
        classify(i);
        if (bend[i] > 0)
            candidates.push_back(i);
    }
    std::vector<char> clipped(count);
    unsigned left = count, start = 0;
    while (left > 3) {
        unsigned i = count; // none yet
        while (i == count && !candidates.empty()) {
            i = candidates.back();
            candidates.pop_back();
            if (clipped[i] || !is_ear(i))
                i = count;
        }
        for (unsigned k = next[start], n = 0; i == count && n < left; k = next[k], n++)
            if (bend[k] == 0)
                i = k;
        if (i == count)
            break;
        *triangles++ = prev[i];
        *triangles++ = i;
        *triangles++ = next[i];
        const unsigned a = prev[i], c = next[i];
        next[a] = c;
        prev[c] = a;
        clipped[i] = 1;
        start = a;
        left--;
        for (unsigned k : {c, a}) {
            classify(k);
            if (bend[k] > 0)
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

// Whether the polygon is convex. A corner given twice in a row turns nowhere: the turn there is
// the one between the corners around the run, which may be a notch. A spike makes the polygon
// not convex: the fan would fold over it.
bool convex(const std::vector<point> &p) {
    std::vector<point> ring;
    for (const point &q : p)
        if (ring.empty() || !(q == ring.back()))
            ring.push_back(q);
    while (ring.size() > 1 && ring.front() == ring.back())
        ring.pop_back();
    const size_t n = ring.size();
    for (size_t i = 0; i < n; i++) {
        const point &a = ring[(i + n - 1) % n], &b = ring[i], &c = ring[(i + 1) % n];
        if (turn(a, b, c) < 0 || spike(a, b, c))
            return false;
    }
    return true;
}

// A corner from which a fan of the convex polygon has no triangle without area: a corner on a
// straight side (as a corner on the line through its neighbours makes one) gives a flat triangle
// with each edge of that side that does not end at it. The corners are tried in order, sixteen
// at most, so that a polygon of thousands of corners costs no more than sixteen passes; the
// first corner when none of them will do, as when a corner is given twice in a row.
unsigned fan_corner(const std::vector<point> &p) {
    const unsigned n = static_cast<unsigned>(p.size());
    for (unsigned k = 0; k < n && k < 16; k++) {
        bool flat = false;
        for (unsigned j = 1; j + 1 < n && !flat; j++)
            flat = turn(p[k], p[(k + j) % n], p[(k + j + 1) % n]) == 0;
        if (!flat)
            return k;
    }
    return 0;
}

} // namespace

void triangulate_polygon(const qz_vec *corners, unsigned count, unsigned *triangles) {
    std::vector<point> p;
    if (count == 3 || !project(corners, count, &p))
        return fan(count, triangles);
    if (!convex(p))
        return clip_ears(p, triangles);
    fan(count, triangles, fan_corner(p));
}
