// SPDX-License-Identifier: MIT
// The MD5 step functions (RFC 1321), shared by the one-message routine and
// the eight-lane one.  Private to catalogue/md5*.cpp.
//
// Each step is written so that the terms that do not depend on `b` (the
// value produced by the previous step) are computed first: the message word
// and constant, and the part of the round function that needs only c and d.
// That leaves two or three operations on the critical path per step, which
// is what makes plain C++ keep up with hand-written assembly.  The macros
// work on uint32_t and on GCC vector types alike.
#pragma once

#define BRELVANE_MD5_ROTL(v, s) (((v) << (s)) | ((v) >> (32 - (s))))
#define BRELVANE_MD5_F(a, b, c, d, x, t, s) \
  a += (x) + (t);                           \
  a += (d) ^ ((b) & ((c) ^ (d)));           \
  a = BRELVANE_MD5_ROTL(a, s) + (b)
#define BRELVANE_MD5_G(a, b, c, d, x, t, s) \
  a += (x) + (t) + ((c) & ~(d));            \
  a += (b) & (d);                           \
  a = BRELVANE_MD5_ROTL(a, s) + (b)
#define BRELVANE_MD5_H(a, b, c, d, x, t, s) \
  a += (x) + (t);                           \
  a += (b) ^ (c) ^ (d);                     \
  a = BRELVANE_MD5_ROTL(a, s) + (b)
#define BRELVANE_MD5_I(a, b, c, d, x, t, s) \
  a += (x) + (t);                           \
  a += (c) ^ ((b) | ~(d));                  \
  a = BRELVANE_MD5_ROTL(a, s) + (b)
