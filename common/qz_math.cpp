// Every operation widens its operands to double, evaluates in the order the formulas are written
// and rounds each result component once: the stored files carry these results bit for bit, so
// no step may be regrouped or rounded early.
#include "qz_math.h"

#include <cmath>

extern const float DEGTORAD = 0x1.1df46ap-6f; // nearest to pi/180
extern const float RADTODEG = 0x1.ca5dcp+5f;  // 57.295776, one unit below the nearest to 180/pi

namespace {

using d = double;

float fl(double v) {
    return static_cast<float>(v);
}

} // namespace

qz_vec vec_add(qz_vec l, qz_vec r) {
    return {fl(d(l.x) + r.x), fl(d(l.y) + r.y), fl(d(l.z) + r.z)};
}

qz_vec vec_sub(qz_vec l, qz_vec r) {
    return {fl(d(l.x) - r.x), fl(d(l.y) - r.y), fl(d(l.z) - r.z)};
}

qz_vec vec_crossproduct(qz_vec l, qz_vec r) {
    return {fl(d(l.y) * r.z - d(l.z) * r.y), fl(d(l.z) * r.x - d(l.x) * r.z),
            fl(d(l.x) * r.y - d(l.y) * r.x)};
}

float vec_dotproduct(qz_vec l, qz_vec r) {
    return fl(d(l.x) * r.x + d(l.y) * r.y + d(l.z) * r.z);
}

qz_vec vec_normalise(qz_vec vec) {
    float s = fl(d(vec.x) * vec.x + d(vec.y) * vec.y + d(vec.z) * vec.z);
    // Too short to have a direction worth keeping; written so that a NaN is kept as well.
    if (!(d(s) > 1e-8))
        return vec;
    float len = std::sqrt(s);
    return {fl(d(vec.x) / len), fl(d(vec.y) / len), fl(d(vec.z) / len)};
}

qz_vec vec_multiply_scalar(qz_vec l, float f) {
    return {fl(d(l.x) * f), fl(d(l.y) * f), fl(d(l.z) * f)};
}

// r (x) l in Hamilton terms: the right operand acts first, so rotations chain left to right.
qz_quat quat_multiply(qz_quat l, qz_quat r) {
    return {
        fl(d(r.w) * l.x + d(r.x) * l.w + d(r.y) * l.z - d(r.z) * l.y),
        fl(d(r.w) * l.y + d(r.y) * l.w + d(r.z) * l.x - d(r.x) * l.z),
        fl(d(r.w) * l.z + d(r.z) * l.w + d(r.x) * l.y - d(r.y) * l.x),
        fl(d(r.w) * l.w - d(r.x) * l.x - d(r.y) * l.y - d(r.z) * l.z),
    };
}

// The conjugate; callers pass unit quaternions, for which it is the inverse.
qz_quat quat_invert(qz_quat q) {
    return {-q.x, -q.y, -q.z, q.w};
}

qz_quat vec_to_quad(qz_vec vec) {
    return {vec.x, vec.y, vec.z, 0.0f};
}

qz_vec quad_to_vec(qz_quat quat) {
    return {quat.x, quat.y, quat.z};
}

qz_vec quat_multiply_vec(qz_quat quat, qz_vec vec) {
    qz_quat t = quat_multiply(vec_to_quad(vec), quat_invert(quat));
    return quad_to_vec(quat_multiply(quat, t));
}

qz_vec quat_to_euler(qz_quat quat) {
    d x = quat.x, y = quat.y, z = quat.z, w = quat.w;
    d x2 = x * x, y2 = y * y, z2 = z * z, w2 = w * w;
    qz_vec e;
    e.z = fl(std::atan2(2 * (x * y + w * z), w2 + x2 - y2 - z2));
    e.x = fl(std::atan2(2 * (y * z + w * x), w2 - x2 - y2 + z2));
    // Not clamped: a quaternion far from unit length gives NaN rather than a made-up angle.
    e.y = std::asin(fl(-2 * (x * z - w * y)));
    return e;
}

namespace {

struct half_angles {
    d sx, sy, sz, cx, cy, cz;
};

half_angles half_angles_of(qz_vec vec) {
    d a = 0.5 * vec.x, b = 0.5 * vec.y, c = 0.5 * vec.z;
    return {std::sin(a), std::sin(b), std::sin(c), std::cos(a), std::cos(b), std::cos(c)};
}

} // namespace

// Qz (x) Qy (x) Qx: turn about X, then Y, then Z.
qz_quat euler_to_quat(qz_vec vec) {
    auto [sx, sy, sz, cx, cy, cz] = half_angles_of(vec);
    return {fl(sx * cy * cz - cx * sy * sz), fl(cx * sy * cz + sx * cy * sz),
            fl(cx * cy * sz - sx * sy * cz), fl(cx * cy * cz + sx * sy * sz)};
}

// Qy(vec.x) (x) Qz(vec.y) (x) Qx(vec.z): the angles name other axes than in euler_to_quat.
qz_quat euler_to_quat_alt(qz_vec vec) {
    auto [sx, sy, sz, cx, cy, cz] = half_angles_of(vec);
    return {fl(sx * sy * cz + cx * cy * sz), fl(sx * cy * cz + cx * sy * sz),
            fl(cx * sy * cz - sx * cy * sz), fl(cx * cy * cz - sx * sy * sz)};
}
