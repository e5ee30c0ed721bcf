#include "korvane/fft.hpp"

#include "korvane/fault.hpp"

#include <fftw3.h>

#include <bit>
#include <climits>
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
// not thread-safe by itself. A mutex of our own would order only our calls,
// while any other library in the process (another extension module in the
// same interpreter, say) may plan single-precision transforms on its own
// threads. So FFTW is asked to serialise every planner call of the process
// itself, once, before our first one; the hook it installs is a no-op for
// callers that already serialise theirs. Executing a plan with
// fftwf_execute_dft is thread-safe and takes no lock.
void make_planner_thread_safe() noexcept {
    static const bool installed = [] {
        fftwf_make_planner_thread_safe();
        return true;
    }();
    (void)installed;
}

// Plans are always made on memory aligned to this many bytes, so that the
// planner's choice (and therefore the result bytes) never depends on where the
// caller's buffer happens to sit, nor on the thread.
constexpr std::size_t plan_alignment = 64;

struct PlanKey {
    std::size_t length;
    bool forward;
    bool operator==(const PlanKey&) const = default;
};

struct PlanKeyHash {
    std::size_t operator()(const PlanKey& k) const noexcept {
        return std::hash<std::size_t>{}(k.length) ^ (k.forward ? std::size_t{0x9E3779B97F4A7C15} : 0);
    }
};

struct AlignedFree {
    void operator()(void* p) const noexcept { std::free(p); }
};

// The table of one OS thread: plans by (length, direction), never pruned, and
// an aligned scratch buffer used to plan and to run misaligned buffers.
class PlanTable {
public:
    PlanTable() = default;
    PlanTable(const PlanTable&) = delete;
    PlanTable& operator=(const PlanTable&) = delete;
    ~PlanTable();

    std::size_t size() const noexcept { return plans_.size(); }
    fftwf_plan plan_for(std::size_t n, bool forward);
    fftwf_complex* scratch(std::size_t n);

private:
    std::unordered_map<PlanKey, fftwf_plan, PlanKeyHash> plans_;
    std::unique_ptr<void, AlignedFree> scratch_;
    std::size_t scratch_len_ = 0;
};

enum class TableState : unsigned char { Unborn, Alive, Dead };
thread_local TableState table_state = TableState::Unborn;

PlanTable::~PlanTable() {
    for (auto& [key, plan] : plans_) fftwf_destroy_plan(plan);
    table_state = TableState::Dead;
}

fftwf_complex* PlanTable::scratch(std::size_t n) {
    if (n > scratch_len_) {
        const std::size_t bytes = checked_mul(n, sizeof(fftwf_complex));
        const std::size_t rounded = checked_add(bytes, plan_alignment - 1) / plan_alignment * plan_alignment;
        void* p = std::aligned_alloc(plan_alignment, rounded);
        if (p == nullptr) {
            fail_allocation("the scratch buffer of a " + std::to_string(n) + "-sample transform", rounded);
        }
        scratch_.reset(p);
        scratch_len_ = n;
    }
    return static_cast<fftwf_complex*>(scratch_.get());
}

fftwf_plan PlanTable::plan_for(std::size_t n, bool forward) {
    const PlanKey key{n, forward};
    if (auto it = plans_.find(key); it != plans_.end()) return it->second;

    // FFTW_ESTIMATE plans without timing (deterministic choice) and without
    // touching the arrays, so planning on the scratch costs no page faults.
    fftwf_complex* data = scratch(n);
    const int sign = forward ? FFTW_FORWARD : FFTW_BACKWARD;
    make_planner_thread_safe();
    fftwf_plan plan = nullptr;
    if (n <= static_cast<std::size_t>(INT_MAX)) {
        plan = fftwf_plan_dft_1d(static_cast<int>(n), data, data, sign, FFTW_ESTIMATE);
    } else {
        const fftwf_iodim64 dim{static_cast<std::ptrdiff_t>(n), 1, 1};
        plan = fftwf_plan_guru64_dft(1, &dim, 0, nullptr, data, data, sign, FFTW_ESTIMATE);
    }
    if (plan == nullptr) fail("the FFT library could not plan a transform of length " + std::to_string(n));
    try {
        plans_.emplace(key, plan);
    } catch (...) {
        fftwf_destroy_plan(plan);
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

}  // namespace

void transform(std::span<std::complex<float>> buf, bool forward) {
    const std::size_t n = buf.size();
    if (n % 2 != 0) fail("the transform requires an even length, got " + std::to_string(n));
    if (n == 0) return;  // the transform of nothing is nothing

    PlanTable& table = this_thread_table();
    fftwf_plan plan = table.plan_for(n, forward);
    auto* data = reinterpret_cast<fftwf_complex*>(buf.data());
    // A plan made on aligned memory runs in place on any buffer of the same
    // FFTW alignment class; other buffers go through the aligned scratch, so
    // that every buffer runs the very same plan and gets the same bytes.
    if (fftwf_alignment_of(reinterpret_cast<float*>(data)) == 0) {
        fftwf_execute_dft(plan, data, data);
    } else {
        fftwf_complex* tmp = table.scratch(n);
        std::memcpy(tmp, data, n * sizeof(fftwf_complex));
        fftwf_execute_dft(plan, tmp, tmp);
        std::memcpy(data, tmp, n * sizeof(fftwf_complex));
    }
}

std::size_t plan_count() {
    if (table_state != TableState::Alive) return 0;
    return this_thread_table().size();
}

void correct_baseline(std::span<float> a, float dt) {
    const std::size_t n = a.size();
    const float h = dt * 0.5f;
    const float q = (dt * h) / 3.0f;
    float d = 0.0f;  // end displacement of the piecewise-linear acceleration
    float v = 0.0f;  // end velocity
    for (std::size_t i = 0; i + 1 < n; ++i) {
        d = ((a[i] + a[i]) + a[i + 1]) * q + (d + dt * v);
        v = (a[i] + a[i + 1]) * h + v;
    }
    if (n <= 2) return;
    const float t = static_cast<float>(n - 1) * dt;
    const float p = 2.0f / t;
    const float c0 = ((-3.0f / t) * d + v) * p;
    const float c1 = ((p * d - v) * (6.0f / t)) / t;
    for (std::size_t i = 2; i < n; ++i) {
        a[i] = (a[i] + c0) + (static_cast<float>(i) * c1) * dt;
    }
}

}  // namespace korvane::fft
