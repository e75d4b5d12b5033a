// 3-vector and quaternion arithmetic. Every operation computes in double precision in the
// order written and rounds once to single precision at the end. Angles are in radians.
#ifndef QZ_MATH_H
#define QZ_MATH_H

#include "qz.h"

extern const float DEGTORAD; // bits 0x3C8EFA35
extern const float RADTODEG; // bits 0x42652EE0

qz_vec vec_add(qz_vec l, qz_vec r);
qz_vec vec_sub(qz_vec l, qz_vec r);
qz_vec vec_crossproduct(qz_vec l, qz_vec r);
float vec_dotproduct(qz_vec l, qz_vec r);
qz_vec vec_normalise(qz_vec vec);
qz_vec vec_multiply_scalar(qz_vec l, float f);
qz_quat quat_multiply(qz_quat l, qz_quat r);
qz_quat quat_invert(qz_quat q);
qz_quat vec_to_quad(qz_vec vec);
qz_vec quad_to_vec(qz_quat quat);
qz_vec quat_multiply_vec(qz_quat quat, qz_vec vec);
qz_vec quat_to_euler(qz_quat quat);
qz_quat euler_to_quat(qz_vec vec);
qz_quat euler_to_quat_alt(qz_vec vec);

#endif
