// Transform lengths, the cached single-precision FFT of the core, and the
// baseline correction that the noise of every component goes through before
// it is transformed.
//
// `good_length` picks a transform length of the form m * 2^k (m in {1, 3, 5, 7},
// k >= 1), lengths whose only prime factors are 2, 3, 5 and 7; `transform`
// runs an in-place, unnormalised complex transform through FFTW (Frigo and
// Johnson 2005) on a plan kept in a table of the calling OS thread for the
// thread's whole life. Sample values are f32; time steps in s.
#pragma once

#include <complex>
#include <cstddef>
#include <span>

namespace korvane::fft {

// The smallest length >= n among 2^k, 3*2^k, 5*2^k, 7*2^k (k >= 1): 2 for
// n <= 2, n itself when admissible. Pure branch arithmetic. Stops with "a
// transform length that overflows usize is not a real request" for every
// n > 2^63, even where an admissible length below 2^64 exists.
std::size_t good_length(std::size_t n);

// In-place discrete Fourier transform of an even-length buffer, unnormalised
// in both directions: forward X_k = sum_j x_j e^{-2 pi i jk/n}, inverse with
// e^{+2 pi i jk/n}; forward then inverse multiplies by n. Stops with "the
// transform requires an even length, got {n}" before anything else for odd n.
// The result bytes depend only on the input (not on the thread, the process or
// the buffer's alignment). After the first call for a (length, direction) on a
// thread, a call allocates nothing (a misaligned buffer may grow the thread's
// scratch once).
void transform(std::span<std::complex<float>> buf, bool forward);

// Number of entries in the calling thread's plan table: one per (length,
// direction) the thread has transformed. Creates nothing.
std::size_t plan_count();

// Baseline correction of a piecewise-linear acceleration series (f32, in
// place): adds to samples 2 .. n-1 the line c0 + c1 t that, added to every
// sample, would bring the end velocity and displacement to zero. Samples 0
// and 1 keep their values, so the corrected series ends near rest, not
// exactly at it; n <= 2 corrects nothing.
void correct_baseline(std::span<float> a, float dt);

}  // namespace korvane::fft
