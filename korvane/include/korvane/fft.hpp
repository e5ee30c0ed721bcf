// Transform lengths, the cached single-precision FFT of the core, and the
// baseline correction that the noise of every component goes through before
// it is transformed (time-domain work, in src/baseline.cpp).
//
// `good_length` picks a transform length of the form m * 2^k (m in {1, 3, 5, 7},
// k >= 1), lengths whose only prime factors are 2, 3, 5 and 7; `transform`
// runs an in-place, unnormalised complex transform through FFTW (Frigo and
// Johnson 2005) on a plan kept in a table of the calling OS thread (for the
// thread's whole life, unless released by length); `real_forward` and
// `real_inverse` are the transforms of real series (half the work of a
// complex one), on plans from the same table.
// Plans are made and destroyed one at a time in the process, and a fork waits
// for the one in progress, so that a child process can plan as well.
// Sample values are f32; time steps in s.
#pragma once

#include <complex>
#include <cstddef>
#include <new>
#include <span>
#include <vector>

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
// thread, a call allocates nothing until that plan is released (a misaligned
// buffer may grow the thread's scratch once).
void transform(std::span<std::complex<float>> buf, bool forward);

// Forward transform of n real samples (n even, >= 2), unnormalised: out[k] =
// sum_j in[j] e^{-2 pi i jk/n} for k = 0 .. n/2, the non-negative-frequency
// half of the complex transform (the rest is its conjugate mirror). Stops with
// "a real transform needs an even length of at least 2, got {n}", or with "a
// real transform of {n} samples has {n/2 + 1} bins, got {out.size()}". in and
// out may overlap (at the cost of a copy). Same bytes on every thread and
// whatever the buffers' alignment; a buffer aligned to kBufferAlignment runs
// without a copy.
void real_forward(std::span<const float> in, std::span<std::complex<float>> out);

// Inverse of real_forward, unnormalised: out[j] = sum over all n bins of X_k
// e^{+2 pi i jk/n}, where in holds bins 0 .. n/2 (n = out.size()) and the upper
// bins are their conjugate mirror: the real series of a Hermitian spectrum.
// The imaginary parts of bins 0 and n/2 are not read (for a Hermitian
// spectrum they are 0; any value there would only add an imaginary series).
// in is working space: its contents afterwards are unspecified. Same stops,
// placeholders n and the bins of in; same guarantees as real_forward.
void real_inverse(std::span<std::complex<float>> in, std::span<float> out);

// Number of entries in the calling thread's plan table: one per (length,
// kind) the thread has transformed, the kinds being the complex forward and
// inverse and the real forward and inverse. Creates nothing.
std::size_t plan_count();

// Destroys the calling thread's plans of lengths above n and, when it is
// larger than plans of length n need, its scratch buffer: a one-off long
// transform does not hold its memory for the thread's life. Those lengths are
// planned again when next met.
void release_plans_longer_than(std::size_t n);

// An upper bound of the bytes the calling thread's table takes to hold the
// real forward and inverse transforms of length n: the scratch they are
// planned on and the plans themselves (FFTW's twiddle factors and buffers,
// measured at 2 to 5 bytes a sample for each plan).
std::size_t real_plan_bytes(std::size_t n);

// Alignment (bytes) of the memory the plans are made on. Buffers so aligned
// are transformed where they are; others go through an aligned copy.
inline constexpr std::size_t kBufferAlignment = 64;

// Allocator of buffers aligned for the transforms.
template <class T>
struct AlignedAllocator {
    using value_type = T;
    AlignedAllocator() = default;
    template <class U>
    AlignedAllocator(const AlignedAllocator<U>&) noexcept {}
    T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(::operator new (count * sizeof(T), std::align_val_t{kBufferAlignment}));
    }
    void deallocate(T* p, std::size_t) noexcept { ::operator delete (p, std::align_val_t{kBufferAlignment}); }
    template <class U>
    bool operator==(const AlignedAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using AlignedVector = std::vector<T, AlignedAllocator<T>>;

// Baseline correction of a piecewise-linear acceleration series (f32, in
// place): adds to samples 2 .. n-1 the line c0 + c1 t that, added to every
// sample, would bring the end velocity and displacement to zero. Samples 0
// and 1 keep their values, so the corrected series ends near rest, not
// exactly at it; n <= 2 corrects nothing.
void correct_baseline(std::span<float> a, float dt);

// correct_baseline, then every sample multiplied by window[i] (window.size()
// = a.size()), in one pass over the samples: the same bytes as the two steps
// one after the other.
void correct_baseline(std::span<float> a, float dt, std::span<const float> window);

}  // namespace korvane::fft
