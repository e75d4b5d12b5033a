// Vector and quaternion math, bit for bit: every expectation is either a literal or computed
// here from the formulas in double precision with one rounding at the end.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <numbers>

#include "qz_math.h"

namespace {

uint32_t bits(float v) {
    uint32_t b;
    memcpy(&b, &v, sizeof b);
    return b;
}
std::array<uint32_t, 3> bits(qz_vec v) {
    return {bits(v.x), bits(v.y), bits(v.z)};
}
std::array<uint32_t, 4> bits(qz_quat q) {
    return {bits(q.x), bits(q.y), bits(q.z), bits(q.w)};
}

float fl(double v) {
    return static_cast<float>(v);
}

// a (x) b in the Hamilton convention.
qz_quat hamilton(qz_quat a, qz_quat b) {
    double aw = a.w, ax = a.x, ay = a.y, az = a.z;
    return {fl(aw * b.x + ax * b.w + ay * b.z - az * b.y),
            fl(aw * b.y + ay * b.w + az * b.x - ax * b.z),
            fl(aw * b.z + az * b.w + ax * b.y - ay * b.x),
            fl(aw * b.w - ax * b.x - ay * b.y - az * b.z)};
}

// The vector part of q* (x) v (x) q, rounded after each product.
qz_vec rotate(qz_quat q, qz_vec v) {
    qz_quat r = hamilton(hamilton({-q.x, -q.y, -q.z, q.w}, {v.x, v.y, v.z, 0}), q);
    return {r.x, r.y, r.z};
}

struct trig {
    double sx, sy, sz, cx, cy, cz;
    explicit trig(qz_vec v)
        : sx(sin(v.x / 2.0)), sy(sin(v.y / 2.0)), sz(sin(v.z / 2.0)), cx(cos(v.x / 2.0)),
          cy(cos(v.y / 2.0)), cz(cos(v.z / 2.0)) {}
};

const float half_pi = fl(std::numbers::pi / 2);
const float root_half = 0.70710677f; // sin and cos of pi/4 in single precision

TEST(Math, Constants) {
    EXPECT_EQ(bits(DEGTORAD), 0x3C8EFA35u);
    EXPECT_EQ(bits(RADTODEG), 0x42652EE0u);
    EXPECT_EQ(DEGTORAD, fl(std::numbers::pi / 180));
}

TEST(Math, VectorArithmeticRoundsOnce) {
    EXPECT_EQ(bits(vec_add({1, 2, 3}, {0.5f, -2, 1e-8f})), bits(qz_vec{1.5f, 0, 3}));
    EXPECT_EQ(bits(vec_sub({1, 2, 3}, {0.5f, 2, -1e-8f})), bits(qz_vec{0.5f, 0, 3}));
    EXPECT_EQ(bits(vec_multiply_scalar({1, -2, 3}, 0.5f)), bits(qz_vec{0.5f, -1, 1.5f}));
    EXPECT_EQ(bits(vec_crossproduct({1, 0, 0}, {0, 1, 0})), bits(qz_vec{0, 0, 1}));
    // In single precision 4097 * 4097 rounds to 16785408 and both of these would give 0.
    EXPECT_EQ(bits(vec_crossproduct({0, 4097, 1}, {0, 16785408, 4097})), bits(qz_vec{1, 0, 0}));
    EXPECT_EQ(vec_dotproduct({1, 1, 1}, {1e8f, 1, -1e8f}), 1.0f);
}

TEST(Math, Normalise) {
    EXPECT_EQ(bits(vec_normalise({3, 4, 0})), bits(qz_vec{0.6f, 0.8f, 0}));
    // Each component divided by the length; multiplying by a rounded 1 / length gives another x.
    const float x = 0.1f, y = 0.37f, len = sqrtf(fl(double(x) * x + double(y) * y));
    EXPECT_EQ(bits(vec_normalise({x, y, 0})),
              bits(qz_vec{fl(x / double(len)), fl(y / double(len)), 0}));
    EXPECT_NE(bits(fl(x / double(len))), bits(x * (1 / len)));
    EXPECT_EQ(bits(vec_normalise({0.00011f, 0, 0})), bits(qz_vec{1, 0, 0}));
    // Squared lengths not above 1e-8, and NaN, are left alone.
    for (qz_vec v :
         {qz_vec{0, 0, 0}, qz_vec{0.0001f, 0, 0}, qz_vec{0, -0.0001f, 0}, qz_vec{NAN, 1, 0}})
        EXPECT_EQ(bits(vec_normalise(v)), bits(v));
}

TEST(Math, QuaternionBasics) {
    const qz_quat id = {0, 0, 0, 1}, q = {0.1f, -2.5f, 3e-3f, 0.9f};
    EXPECT_EQ(bits(quat_multiply(id, q)), bits(q));
    EXPECT_EQ(bits(quat_multiply(q, id)), bits(q));
    EXPECT_EQ(bits(quat_multiply({1, 0, 0, 0}, {0, 1, 0, 0})), bits(qz_quat{0, 0, -1, 0}));
    const qz_quat r = {0.3f, 0.7f, -1.9f, 0.25f};
    EXPECT_EQ(bits(quat_multiply(q, r)), bits(hamilton(r, q)));
    EXPECT_EQ(bits(quat_invert({1, 2, 3, 4})), bits(qz_quat{-1, -2, -3, 4}));
    EXPECT_EQ(bits(vec_to_quad({1, 2, 3})), bits(qz_quat{1, 2, 3, 0}));
    EXPECT_EQ(bits(quad_to_vec({1, 2, 3, 4})), bits(qz_vec{1, 2, 3}));
}

TEST(Math, EulerToQuat) {
    EXPECT_EQ(bits(euler_to_quat({0, 0, half_pi})), bits(qz_quat{0, 0, root_half, root_half}));
    EXPECT_EQ(bits(euler_to_quat({half_pi, 0, 0})), bits(qz_quat{root_half, 0, 0, root_half}));
    EXPECT_EQ(bits(euler_to_quat_alt({0, 0, half_pi})), bits(qz_quat{root_half, 0, 0, root_half}));
    EXPECT_EQ(bits(euler_to_quat_alt({half_pi, 0, 0})), bits(qz_quat{0, root_half, 0, root_half}));
    const qz_vec v = {0.3f, -1.1f, 2.5f};
    const trig t(v);
    EXPECT_EQ(bits(euler_to_quat(v)), bits(qz_quat{fl(t.sx * t.cy * t.cz - t.cx * t.sy * t.sz),
                                                   fl(t.cx * t.sy * t.cz + t.sx * t.cy * t.sz),
                                                   fl(t.cx * t.cy * t.sz - t.sx * t.sy * t.cz),
                                                   fl(t.cx * t.cy * t.cz + t.sx * t.sy * t.sz)}));
    EXPECT_EQ(bits(euler_to_quat_alt(v)),
              bits(qz_quat{fl(t.sx * t.sy * t.cz + t.cx * t.cy * t.sz),
                           fl(t.sx * t.cy * t.cz + t.cx * t.sy * t.sz),
                           fl(t.cx * t.sy * t.cz - t.sx * t.cy * t.sz),
                           fl(t.cx * t.cy * t.cz - t.sx * t.sy * t.sz)}));
}

TEST(Math, RotateVector) {
    const qz_quat q = euler_to_quat({0, 0, half_pi});
    const qz_vec a = quat_multiply_vec(q, {1, 0, 0}), b = quat_multiply_vec(q, {0, 1, 0});
    EXPECT_EQ(bits(a), bits(rotate(q, {1, 0, 0})));
    EXPECT_EQ(bits(b), bits(rotate(q, {0, 1, 0})));
    EXPECT_NEAR(a.x, 0, 1e-7);
    EXPECT_NEAR(a.y, -1, 1e-7);
    EXPECT_NEAR(b.x, 1, 1e-7);
    EXPECT_NEAR(b.y, 0, 1e-7);
    EXPECT_EQ(a.z, 0);
    const qz_vec v = {0.3f, -7, 12.5f};
    const qz_quat odd = {0.5f, -1.5f, 2, 0.1f}; // norm 2.6, so lengths grow by 6.76
    EXPECT_EQ(bits(quat_multiply_vec(odd, v)), bits(rotate(odd, v)));
    const qz_vec zero = quat_multiply_vec({0, 0, 0, 0}, v);
    EXPECT_TRUE(zero.x == 0 && zero.y == 0 && zero.z == 0);
}

TEST(Math, QuatToEuler) {
    const qz_vec v = {0.5236f, 0.7854f, 1.0472f};
    const qz_quat q = euler_to_quat(v);
    const qz_vec e = quat_to_euler(q);
    EXPECT_NEAR(e.x, v.x, 1e-6);
    EXPECT_NEAR(e.y, v.y, 1e-6);
    EXPECT_NEAR(e.z, v.z, 1e-6);
    const double x = q.x, y = q.y, z = q.z, w = q.w;
    EXPECT_EQ(bits(e), bits(qz_vec{fl(atan2(2 * (y * z + w * x), w * w - x * x - y * y + z * z)),
                                   asinf(fl(-2 * (x * z - w * y))),
                                   fl(atan2(2 * (x * y + w * z), w * w + x * x - y * y - z * z))}));
    for (qz_quat still : {qz_quat{0, 0, 0, 2}, qz_quat{0, 0, 0, 0}}) {
        const qz_vec s = quat_to_euler(still);
        EXPECT_TRUE(s.x == 0 && s.y == 0 && s.z == 0);
    }
    const qz_vec bad = quat_to_euler({1, 0, 1, 1}); // arcsine of -2
    EXPECT_TRUE(std::isnan(bad.y));
    EXPECT_EQ(bits(bad.x), bits(fl(atan2(2.0, 1.0))));
    EXPECT_EQ(bits(bad.z), bits(fl(atan2(2.0, 1.0))));
}

} // namespace
