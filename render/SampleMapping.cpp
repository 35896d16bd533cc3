#include "render/SampleMapping.h"

#include <cstring>

#include "render/CharacterRamp.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define GW_VECTOR_MAPPERS 1
#endif

namespace {

struct SampleTable {
  char byte[256];
};

constexpr SampleTable MakeSampleTable() {
  SampleTable t{};
  for (int s = 0; s < 256; ++s) t.byte[s] = CharacterRamp[255 - s];
  return t;
}

constexpr SampleTable kTable = MakeSampleTable();
static_assert(kTable.byte[255] == ' ' && kTable.byte[0] == '@', "white is a blank, black is @");

void MapPlain(const uint8_t* samples, int32_t length, char* line) {
  for (int32_t i = 0; i < length; ++i) line[i] = kTable.byte[samples[i]];
}

#if defined(GW_VECTOR_MAPPERS)

// 32 samples at a time with byte shuffles, which look up 16-entry tables.
// For the samples below 128, the XOR of the lookups in the difference tables
// D0 = T0, Dk = Tk ^ Tk-1 (Tk: entries 16k to 16k+15) with the index
// x − 16k telescopes to T[x]: the lookups with k above x's high nibble have
// a negative index and give 0. The samples from 128 on do the same with
// x − 128, and bit 7 of x picks the half.
__attribute__((target("avx2"))) void MapAvx2(const uint8_t* samples, int32_t length, char* line) {
  __m256i lowDiff[8];
  __m256i highDiff[8];
  for (int k = 0; k < 8; ++k) {
    char lo[16];
    char hi[16];
    for (int j = 0; j < 16; ++j) {
      lo[j] = static_cast<char>(kTable.byte[16 * k + j] ^ (k > 0 ? kTable.byte[16 * (k - 1) + j] : 0));
      hi[j] = static_cast<char>(kTable.byte[128 + 16 * k + j] ^
                                (k > 0 ? kTable.byte[128 + 16 * (k - 1) + j] : 0));
    }
    lowDiff[k] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lo)));
    highDiff[k] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(hi)));
  }
  const __m256i flip = _mm256_set1_epi8(static_cast<char>(0x80));
  int32_t i = 0;
  for (; i + 32 <= length; i += 32) {
    __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(samples + i));
    __m256i y = _mm256_xor_si256(x, flip);
    __m256i low = _mm256_setzero_si256();
    __m256i high = _mm256_setzero_si256();
    for (int k = 0; k < 8; ++k) {
      __m256i step = _mm256_set1_epi8(static_cast<char>(16 * k));
      low = _mm256_xor_si256(low, _mm256_shuffle_epi8(lowDiff[k], _mm256_sub_epi8(x, step)));
      high = _mm256_xor_si256(high, _mm256_shuffle_epi8(highDiff[k], _mm256_sub_epi8(y, step)));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(line + i), _mm256_blendv_epi8(low, high, x));
  }
  MapPlain(samples + i, length - i, line + i);
}

// 64 samples at a time: a two-register byte permutation looks up 128
// entries at once; bit 7 of the sample picks the half.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) void MapVbmi(const uint8_t* samples,
                                                                   int32_t length, char* line) {
  const __m512i t0 = _mm512_loadu_si512(kTable.byte);
  const __m512i t1 = _mm512_loadu_si512(kTable.byte + 64);
  const __m512i t2 = _mm512_loadu_si512(kTable.byte + 128);
  const __m512i t3 = _mm512_loadu_si512(kTable.byte + 192);
  int32_t i = 0;
  for (; i + 64 <= length; i += 64) {
    __m512i x = _mm512_loadu_si512(samples + i);
    __m512i low = _mm512_permutex2var_epi8(t0, x, t1);
    __m512i high = _mm512_permutex2var_epi8(t2, x, t3);
    __mmask64 upper = _mm512_movepi8_mask(x);
    _mm512_storeu_si512(line + i, _mm512_mask_blend_epi8(upper, low, high));
  }
  MapPlain(samples + i, length - i, line + i);
}

bool CanRun(int index) {
  __builtin_cpu_init();
  switch (index) {
    case 1: return __builtin_cpu_supports("avx2");
    case 2:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512vbmi");
    default: return true;
  }
}

const struct {
  const char* name;
  SampleMapper mapper;
} kMappers[] = {{"plain", MapPlain}, {"avx2", MapAvx2}, {"avx512vbmi", MapVbmi}};

#else

bool CanRun(int) { return true; }

const struct {
  const char* name;
  SampleMapper mapper;
} kMappers[] = {{"plain", MapPlain}};

#endif

const int kMapperCount = static_cast<int>(sizeof kMappers / sizeof kMappers[0]);

}  // namespace

int SampleMapperCount() { return kMapperCount; }

const char* SampleMapperName(int index) {
  return index >= 0 && index < kMapperCount ? kMappers[index].name : nullptr;
}

SampleMapper SampleMapperAt(int index) {
  if (index < 0 || index >= kMapperCount || !CanRun(index)) return nullptr;
  return kMappers[index].mapper;
}

SampleMapper ChooseSampleMapper() {
  for (int index = kMapperCount - 1; index > 0; --index) {
    if (CanRun(index)) return kMappers[index].mapper;
  }
  return MapPlain;
}
