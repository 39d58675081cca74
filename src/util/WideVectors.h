#pragma once
// A byte loop marked JV_WIDE_VECTORS is compiled twice from the same source:
// once for the baseline instruction set and once for AVX2, twice as wide.
// The dynamic linker picks the copy the processor can run, once, when the
// program loads. Both copies compute the same integers, so results never
// depend on the machine. Windows has no load-time resolver for this, and
// other processors have no AVX2: there the baseline copy is the only one.
#if defined(__x86_64__) && defined(__ELF__) && defined(__GNUC__)
#define JV_WIDE_VECTORS __attribute__((target_clones("avx2", "default")))
#else
#define JV_WIDE_VECTORS
#endif
