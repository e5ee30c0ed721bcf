#include "korvane/fft.hpp"

#include "korvane/fault.hpp"

#include <fftw3.h>
#include <pthread.h>

#include <bit>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>

namespace korvane::fft {

std::size_t good_length(std::size_t n) {
    constexpr std::size_t top = std::size_t{1} << 63;
    if (n > top) fail("a transform length that overflows usize is not a real request");
    if (n <= 2) return 2;
    if (n <= 4) return 4;
    if (n <= 6) return 6;
    if (n <= 8) return 8;
    // 8 < n <= 2^63: with b = 2^k the highest power of two below n (k >= 3),
    // the admissible lengths in (b, 2b] are 5b/4, 6b/4, 7b/4 and 2b; none
    // overflows because n <= 2^63 gives 2b <= 2^63.
    const std::size_t b = std::bit_floor(n - 1);
    const std::size_t q = b >> 2;
    if (n <= 5 * q) return 5 * q;
    if (n <= 6 * q) return 6 * q;
    if (n <= 7 * q) return 7 * q;
    return b << 1;
}

namespace {

// FFTW's planner (creation and destruction of plans) is process-wide state and
// not thread-safe by itself. Our planner calls run one at a time under
// planner_mutex. Any other library in the process (another extension module
// in the same interpreter, say) may plan single-precision transforms on its
// own threads, so FFTW is also asked to serialise every planner call of the
// process itself. Executing a plan with
// fftwf_execute_dft is thread-safe and takes no lock.
//
// A fork copies whatever locks other threads hold at that instant, and the
// child's only thread would wait for FFTW's for ever the first time it plans.
// So a fork takes planner_mutex first (pthread_atfork) and releases it on both
// sides: no thread of ours is then inside the planner, holding FFTW's lock.
pthread_mutex_t planner_mutex = PTHREAD_MUTEX_INITIALIZER;

void lock_planner() noexcept { pthread_mutex_lock(&planner_mutex); }
void unlock_planner() noexcept { pthread_mutex_unlock(&planner_mutex); }

// Both installed as the library is loaded, before any thread can plan, so
// that no one-time initialisation lock lies on the planner's path either.
[[maybe_unused]] const bool planner_ready = [] {
    fftwf_make_planner_thread_safe();
    return pthread_atfork(lock_planner, unlock_planner, unlock_planner) == 0;
}();

// Holds planner_mutex for its lifetime.
class PlannerLock {
public:
    PlannerLock() noexcept { lock_planner(); }
    ~PlannerLock() { unlock_planner(); }
    PlannerLock(const PlannerLock&) = delete;
    PlannerLock& operator=(const PlannerLock&) = delete;
};

void destroy_plan(fftwf_plan plan) noexcept {
    const PlannerLock lock;
    fftwf_destroy_plan(plan);
}

// Plans are always made on memory aligned to this many bytes, so that the
// planner's choice (and therefore the result bytes) never depends on where the
// caller's buffer happens to sit, nor on the thread.
constexpr std::size_t plan_alignment = kBufferAlignment;

// The four transforms a table holds plans for. The real ones run out of place
// (FFTW's in-place real transforms cost about twice as much at our lengths).
enum class Kind : unsigned char { Forward, Inverse, RealForward, RealInverse };

struct PlanKey {
    std::size_t length;
    Kind kind;
    bool operator==(const PlanKey&) const = default;
};

struct PlanKeyHash {
    std::size_t operator()(const PlanKey& k) const noexcept {
        return std::hash<std::size_t>{}(k.length) ^
               (static_cast<std::size_t>(k.kind) * std::size_t{0x9E3779B97F4A7C15});
    }
};

struct AlignedFree {
    void operator()(void* p) const noexcept { std::free(p); }
};

std::size_t round_up(std::size_t bytes) {
    return checked_add(bytes, plan_alignment - 1) / plan_alignment * plan_alignment;
}

// Where the two arrays of a real transform of length n sit in the scratch:
// the n samples first, the n/2 + 1 bins at the next aligned offset.
struct RealLayout {
    std::size_t bins_offset;  // bytes
    std::size_t bytes;        // the whole
};

RealLayout real_layout(std::size_t n) {
    const std::size_t offset = round_up(checked_mul(n, sizeof(float)));
    return {offset, checked_add(offset, checked_mul(n / 2 + 1, sizeof(fftwf_complex)))};
}

// The table of one OS thread: plans by (length, kind), pruned only by length
// on request, and an aligned scratch buffer used to plan and to run
// misaligned buffers.
class PlanTable {
public:
    PlanTable() = default;
    PlanTable(const PlanTable&) = delete;
    PlanTable& operator=(const PlanTable&) = delete;
    ~PlanTable();

    std::size_t size() const noexcept { return plans_.size(); }
    fftwf_plan plan_for(std::size_t n, Kind kind);
    // Destroys the plans longer than n, and the scratch when it is larger
    // than the real transforms of length n need.
    void release_longer_than(std::size_t n);
    // At least `bytes` of scratch, aligned to plan_alignment; n (the
    // transform's length) names it in the message of a failed allocation.
    std::byte* scratch(std::size_t bytes, std::size_t n);

private:
    std::unordered_map<PlanKey, fftwf_plan, PlanKeyHash> plans_;
    std::unique_ptr<void, AlignedFree> scratch_;
    std::size_t scratch_bytes_ = 0;
};

enum class TableState : unsigned char { Unborn, Alive, Dead };
thread_local TableState table_state = TableState::Unborn;

PlanTable::~PlanTable() {
    for (auto& [key, plan] : plans_) destroy_plan(plan);
    table_state = TableState::Dead;
}

std::byte* PlanTable::scratch(std::size_t bytes, std::size_t n) {
    if (bytes > scratch_bytes_) {
        const std::size_t rounded = round_up(bytes);
        void* p = std::aligned_alloc(plan_alignment, rounded);
        if (p == nullptr) {
            fail_allocation("the scratch buffer of a " + std::to_string(n) + "-sample transform", rounded);
        }
        scratch_.reset(p);
        scratch_bytes_ = rounded;
    }
    return static_cast<std::byte*>(scratch_.get());
}

void PlanTable::release_longer_than(std::size_t n) {
    for (auto it = plans_.begin(); it != plans_.end();) {
        if (it->first.length > n) {
            destroy_plan(it->second);
            it = plans_.erase(it);
        } else {
            ++it;
        }
    }
    if (scratch_bytes_ > real_layout(n).bytes) {
        scratch_.reset();
        scratch_bytes_ = 0;
    }
}

// A plan of FFTW for length n and the given kind, made on the scratch.
// FFTW_ESTIMATE plans without timing (deterministic choice) and without
// touching the arrays, so planning on the scratch costs no page faults. The
// real forward transform keeps its input (FFTW's default, stated so that
// reading from a const buffer is sound); the real inverse may overwrite its
// input (FFTW's default for it, and its fastest algorithms need it).
fftwf_plan make_plan(PlanTable& table, std::size_t n, Kind kind) {
    const bool wide = n > static_cast<std::size_t>(INT_MAX);
    const int len = wide ? 0 : static_cast<int>(n);
    const fftwf_iodim64 dim{static_cast<std::ptrdiff_t>(n), 1, 1};
    const PlannerLock lock;
    if (kind == Kind::Forward || kind == Kind::Inverse) {
        auto* data = reinterpret_cast<fftwf_complex*>(table.scratch(checked_mul(n, sizeof(fftwf_complex)), n));
        const int sign = kind == Kind::Forward ? FFTW_FORWARD : FFTW_BACKWARD;
        return wide ? fftwf_plan_guru64_dft(1, &dim, 0, nullptr, data, data, sign, FFTW_ESTIMATE)
                    : fftwf_plan_dft_1d(len, data, data, sign, FFTW_ESTIMATE);
    }
    const RealLayout layout = real_layout(n);
    std::byte* base = table.scratch(layout.bytes, n);
    auto* samples = reinterpret_cast<float*>(base);
    auto* bins = reinterpret_cast<fftwf_complex*>(base + layout.bins_offset);
    if (kind == Kind::RealForward) {
        const unsigned flags = FFTW_ESTIMATE | FFTW_PRESERVE_INPUT;
        return wide ? fftwf_plan_guru64_dft_r2c(1, &dim, 0, nullptr, samples, bins, flags)
                    : fftwf_plan_dft_r2c_1d(len, samples, bins, flags);
    }
    const unsigned flags = FFTW_ESTIMATE | FFTW_DESTROY_INPUT;
    return wide ? fftwf_plan_guru64_dft_c2r(1, &dim, 0, nullptr, bins, samples, flags)
                : fftwf_plan_dft_c2r_1d(len, bins, samples, flags);
}

fftwf_plan PlanTable::plan_for(std::size_t n, Kind kind) {
    const PlanKey key{n, kind};
    if (auto it = plans_.find(key); it != plans_.end()) return it->second;
    fftwf_plan plan = make_plan(*this, n, kind);
    if (plan == nullptr) fail("the FFT library could not plan a transform of length " + std::to_string(n));
    try {
        plans_.emplace(key, plan);
    } catch (...) {
        destroy_plan(plan);
        throw;
    }
    return plan;
}

PlanTable& this_thread_table() {
    if (table_state == TableState::Dead) {
        fail("cannot access the thread's transform plan table during or after its destruction");
    }
    thread_local PlanTable table;
    table_state = TableState::Alive;
    return table;
}

bool aligned(const void* p) { return fftwf_alignment_of(static_cast<float*>(const_cast<void*>(p))) == 0; }

bool overlap(const void* a, std::size_t a_bytes, const void* b, std::size_t b_bytes) {
    const auto pa = reinterpret_cast<std::uintptr_t>(a), pb = reinterpret_cast<std::uintptr_t>(b);
    return pa < pb + b_bytes && pb < pa + a_bytes;
}

// The checks shared by the real transforms: n samples, bins of the half.
void check_real_lengths(std::size_t n, std::size_t bins) {
    if (n < 2 || n % 2 != 0) fail("a real transform needs an even length of at least 2, got " + std::to_string(n));
    if (bins != n / 2 + 1) {
        fail("a real transform of " + std::to_string(n) + " samples has " + std::to_string(n / 2 + 1) + " bins, got " +
             std::to_string(bins));
    }
}

}  // namespace

void transform(std::span<std::complex<float>> buf, bool forward) {
    const std::size_t n = buf.size();
    if (n % 2 != 0) fail("the transform requires an even length, got " + std::to_string(n));
    if (n == 0) return;  // the transform of nothing is nothing

    PlanTable& table = this_thread_table();
    fftwf_plan plan = table.plan_for(n, forward ? Kind::Forward : Kind::Inverse);
    auto* data = reinterpret_cast<fftwf_complex*>(buf.data());
    // A plan made on aligned memory runs in place on any buffer of the same
    // FFTW alignment class; other buffers go through the aligned scratch, so
    // that every buffer runs the very same plan and gets the same bytes.
    if (aligned(data)) {
        fftwf_execute_dft(plan, data, data);
    } else {
        auto* tmp = reinterpret_cast<fftwf_complex*>(table.scratch(n * sizeof(fftwf_complex), n));
        std::memcpy(tmp, data, n * sizeof(fftwf_complex));
        fftwf_execute_dft(plan, tmp, tmp);
        std::memcpy(data, tmp, n * sizeof(fftwf_complex));
    }
}

// The real transforms run out of place on plans made on two aligned,
// disjoint arrays: buffers that are both aligned and disjoint run as they
// are, any others through the scratch (same plan, same bytes).
void real_forward(std::span<const float> in, std::span<std::complex<float>> out) {
    const std::size_t n = in.size();
    check_real_lengths(n, out.size());
    PlanTable& table = this_thread_table();
    fftwf_plan plan = table.plan_for(n, Kind::RealForward);
    // The plan keeps its input (FFTW_PRESERVE_INPUT): in is only read.
    auto* samples = const_cast<float*>(in.data());
    auto* bins = reinterpret_cast<fftwf_complex*>(out.data());
    const std::size_t in_bytes = n * sizeof(float), out_bytes = out.size() * sizeof(fftwf_complex);
    if (aligned(samples) && aligned(bins) && !overlap(samples, in_bytes, bins, out_bytes)) {
        fftwf_execute_dft_r2c(plan, samples, bins);
        return;
    }
    const RealLayout layout = real_layout(n);
    std::byte* base = table.scratch(layout.bytes, n);
    std::memcpy(base, samples, in_bytes);
    fftwf_execute_dft_r2c(plan, reinterpret_cast<float*>(base),
                          reinterpret_cast<fftwf_complex*>(base + layout.bins_offset));
    std::memcpy(bins, base + layout.bins_offset, out_bytes);
}

void real_inverse(std::span<std::complex<float>> in, std::span<float> out) {
    const std::size_t n = out.size();
    check_real_lengths(n, in.size());
    PlanTable& table = this_thread_table();
    fftwf_plan plan = table.plan_for(n, Kind::RealInverse);
    auto* bins = reinterpret_cast<fftwf_complex*>(in.data());
    float* samples = out.data();
    const std::size_t in_bytes = in.size() * sizeof(fftwf_complex), out_bytes = n * sizeof(float);
    if (aligned(samples) && aligned(bins) && !overlap(samples, out_bytes, bins, in_bytes)) {
        fftwf_execute_dft_c2r(plan, bins, samples);
        return;
    }
    const RealLayout layout = real_layout(n);
    std::byte* base = table.scratch(layout.bytes, n);
    std::memcpy(base + layout.bins_offset, bins, in_bytes);
    fftwf_execute_dft_c2r(plan, reinterpret_cast<fftwf_complex*>(base + layout.bins_offset),
                          reinterpret_cast<float*>(base));
    std::memcpy(samples, base, out_bytes);
}

void release_plans_longer_than(std::size_t n) {
    if (table_state == TableState::Alive) this_thread_table().release_longer_than(n);
}

std::size_t real_plan_bytes(std::size_t n) {
    // Twice the largest measured size of one plan, for each of the two.
    constexpr std::size_t kPlanBytesPerSample = 2 * 5;
    return saturating_add(
        saturating_add(saturating_mul(n, sizeof(float)), saturating_mul(n / 2 + 1, sizeof(fftwf_complex))),
        saturating_mul(n, 2 * kPlanBytesPerSample));
}

std::size_t plan_count() {
    if (table_state != TableState::Alive) return 0;
    return this_thread_table().size();
}

}  // namespace korvane::fft
