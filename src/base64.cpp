#include "base64.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace brevok {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Two output characters per input byte pair-of-sextets: a table indexed by
// 12 bits gives both characters of a half group at once.
struct PairTable {
  char pairs[4096][2];
  constexpr PairTable() : pairs() {
    for (int i = 0; i < 4096; ++i) {
      pairs[i][0] = kAlphabet[i >> 6];
      pairs[i][1] = kAlphabet[i & 63];
    }
  }
};
constexpr PairTable kPairs;

}  // namespace

std::size_t base64_encoded_size(std::size_t size) { return (size + 2) / 3 * 4; }

#if defined(__x86_64__) && defined(__GNUC__)
#define BREVOK_BASE64_AVX2 1

namespace {

// 24 input bytes become 32 characters per step, in the two 128-bit lanes
// of an AVX2 register; the rest is left to the portable encoder. Reads 32
// bytes per step, so it stops while fewer than 32 remain.
__attribute__((target("avx2"))) std::size_t base64_encode_avx2(const unsigned char* in, std::size_t size,
                                                                 char* out) {
  // Bytes 0-11 to the top three quarters of the low lane, bytes 12-23 to
  // the bottom three quarters of the high lane.
  const __m256i spread = _mm256_setr_epi32(0, 0, 1, 2, 3, 4, 5, 6);
  // Within each group of three bytes (a b c): b a c b, the order in which
  // the four sextets can be cut out with 16-bit multiplies.
  const __m256i shuffle = _mm256_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1,  //
                                          14, 15, 13, 14, 11, 12, 10, 11, 8, 9, 7, 8, 5, 6, 4, 5);
  // Offsets from a sextet to its character: A-Z, a-z, 0-9, "+", "/".
  const __m256i offsets = _mm256_setr_epi8(65, 71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 0, 0,  //
                                           65, 71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 0, 0);
  std::size_t done = 0;
  while (size - done >= 32) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + done));
    v = _mm256_permutevar8x32_epi32(v, spread);
    v = _mm256_shuffle_epi8(v, shuffle);
    const __m256i hi = _mm256_mulhi_epu16(_mm256_and_si256(v, _mm256_set1_epi32(0x0FC0FC00)),
                                          _mm256_set1_epi32(0x04000040));
    const __m256i lo = _mm256_mullo_epi16(_mm256_and_si256(v, _mm256_set1_epi32(0x003F03F0)),
                                          _mm256_set1_epi32(0x01000010));
    const __m256i sextets = _mm256_or_si256(hi, lo);
    // Index into `offsets`: 0 for A-Z, 1 for a-z, 2-11 for digits, 12 and
    // 13 for "+" and "/".
    __m256i index = _mm256_subs_epu8(sextets, _mm256_set1_epi8(51));
    index = _mm256_sub_epi8(index, _mm256_cmpgt_epi8(sextets, _mm256_set1_epi8(25)));
    const __m256i chars = _mm256_add_epi8(sextets, _mm256_shuffle_epi8(offsets, index));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), chars);
    done += 24;
    out += 32;
  }
  return done;
}

bool have_avx2() {
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return yes;
}

}  // namespace
#endif

void base64_encode(const char* data, std::size_t size, char* out) {
#ifdef BREVOK_BASE64_AVX2
  if (size >= 32 && have_avx2()) {
    std::size_t done = base64_encode_avx2(reinterpret_cast<const unsigned char*>(data), size, out);
    data += done;
    size -= done;
    out += done / 3 * 4;
  }
#endif
  base64_encode_portable(data, size, out);
}

void base64_encode_portable(const char* data, std::size_t size, char* out) {
  const auto* in = reinterpret_cast<const unsigned char*>(data);
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    std::uint32_t v = (std::uint32_t(in[i]) << 16) | (std::uint32_t(in[i + 1]) << 8) | in[i + 2];
    std::memcpy(out, kPairs.pairs[v >> 12], 2);
    std::memcpy(out + 2, kPairs.pairs[v & 0xfff], 2);
    out += 4;
  }
  std::size_t rest = size - i;
  if (rest == 1) {
    std::uint32_t v = std::uint32_t(in[i]) << 16;
    out[0] = kAlphabet[v >> 18];
    out[1] = kAlphabet[(v >> 12) & 63];
    out[2] = '=';
    out[3] = '=';
  } else if (rest == 2) {
    std::uint32_t v = (std::uint32_t(in[i]) << 16) | (std::uint32_t(in[i + 1]) << 8);
    out[0] = kAlphabet[v >> 18];
    out[1] = kAlphabet[(v >> 12) & 63];
    out[2] = kAlphabet[(v >> 6) & 63];
    out[3] = '=';
  }
}

}  // namespace brevok
