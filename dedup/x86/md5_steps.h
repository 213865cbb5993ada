// The 64 steps of MD5's compression function as one list, for the wide
// fingerprint variants to expand with step functions of their own width.
//
// A macro and constants only: no function here, so no code built for one
// instruction set can be merged into a file built for another.
#pragma once

#include <cstdint>

namespace cdedup {

// The additive constants of RFC 1321, step by step.
inline constexpr uint32_t MD5_K[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

inline constexpr uint32_t MD5_IV[4] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};

}  // namespace cdedup

// STEP(FN, a, b, c, d, message word, step, shift) for each step in order;
// FN is one of the four round functions passed in.
#define CDEDUP_MD5_STEPS(STEP, F, G, H, I) \
  STEP(F, a, b, c, d, 0, 0, 7);            \
  STEP(F, d, a, b, c, 1, 1, 12);           \
  STEP(F, c, d, a, b, 2, 2, 17);           \
  STEP(F, b, c, d, a, 3, 3, 22);           \
  STEP(F, a, b, c, d, 4, 4, 7);            \
  STEP(F, d, a, b, c, 5, 5, 12);           \
  STEP(F, c, d, a, b, 6, 6, 17);           \
  STEP(F, b, c, d, a, 7, 7, 22);           \
  STEP(F, a, b, c, d, 8, 8, 7);            \
  STEP(F, d, a, b, c, 9, 9, 12);           \
  STEP(F, c, d, a, b, 10, 10, 17);         \
  STEP(F, b, c, d, a, 11, 11, 22);         \
  STEP(F, a, b, c, d, 12, 12, 7);          \
  STEP(F, d, a, b, c, 13, 13, 12);         \
  STEP(F, c, d, a, b, 14, 14, 17);         \
  STEP(F, b, c, d, a, 15, 15, 22);         \
  STEP(G, a, b, c, d, 1, 16, 5);           \
  STEP(G, d, a, b, c, 6, 17, 9);           \
  STEP(G, c, d, a, b, 11, 18, 14);         \
  STEP(G, b, c, d, a, 0, 19, 20);          \
  STEP(G, a, b, c, d, 5, 20, 5);           \
  STEP(G, d, a, b, c, 10, 21, 9);          \
  STEP(G, c, d, a, b, 15, 22, 14);         \
  STEP(G, b, c, d, a, 4, 23, 20);          \
  STEP(G, a, b, c, d, 9, 24, 5);           \
  STEP(G, d, a, b, c, 14, 25, 9);          \
  STEP(G, c, d, a, b, 3, 26, 14);          \
  STEP(G, b, c, d, a, 8, 27, 20);          \
  STEP(G, a, b, c, d, 13, 28, 5);          \
  STEP(G, d, a, b, c, 2, 29, 9);           \
  STEP(G, c, d, a, b, 7, 30, 14);          \
  STEP(G, b, c, d, a, 12, 31, 20);         \
  STEP(H, a, b, c, d, 5, 32, 4);           \
  STEP(H, d, a, b, c, 8, 33, 11);          \
  STEP(H, c, d, a, b, 11, 34, 16);         \
  STEP(H, b, c, d, a, 14, 35, 23);         \
  STEP(H, a, b, c, d, 1, 36, 4);           \
  STEP(H, d, a, b, c, 4, 37, 11);          \
  STEP(H, c, d, a, b, 7, 38, 16);          \
  STEP(H, b, c, d, a, 10, 39, 23);         \
  STEP(H, a, b, c, d, 13, 40, 4);          \
  STEP(H, d, a, b, c, 0, 41, 11);          \
  STEP(H, c, d, a, b, 3, 42, 16);          \
  STEP(H, b, c, d, a, 6, 43, 23);          \
  STEP(H, a, b, c, d, 9, 44, 4);           \
  STEP(H, d, a, b, c, 12, 45, 11);         \
  STEP(H, c, d, a, b, 15, 46, 16);         \
  STEP(H, b, c, d, a, 2, 47, 23);          \
  STEP(I, a, b, c, d, 0, 48, 6);           \
  STEP(I, d, a, b, c, 7, 49, 10);          \
  STEP(I, c, d, a, b, 14, 50, 15);         \
  STEP(I, b, c, d, a, 5, 51, 21);          \
  STEP(I, a, b, c, d, 12, 52, 6);          \
  STEP(I, d, a, b, c, 3, 53, 10);          \
  STEP(I, c, d, a, b, 10, 54, 15);         \
  STEP(I, b, c, d, a, 1, 55, 21);          \
  STEP(I, a, b, c, d, 8, 56, 6);           \
  STEP(I, d, a, b, c, 15, 57, 10);         \
  STEP(I, c, d, a, b, 6, 58, 15);          \
  STEP(I, b, c, d, a, 13, 59, 21);         \
  STEP(I, a, b, c, d, 4, 60, 6);           \
  STEP(I, d, a, b, c, 11, 61, 10);         \
  STEP(I, c, d, a, b, 2, 62, 15);          \
  STEP(I, b, c, d, a, 9, 63, 21)
