#include <gtest/gtest.h>

#include "kit.hpp"

#include <cmath>
#include <algorithm>
#include <barrier>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "korvane/fault.hpp"
#include "korvane/rng.hpp"
#include "korvane/sim.hpp"

using namespace korvane;
using namespace korvane::sim;

using korvane::testing::fault_message;

namespace {

struct Scenario {
    std::vector<std::int32_t> rayset{1, 2};
    std::size_t n_along = 3;
    std::size_t n_down = 2;
    float slip = 1.0f;
    float rupture_time_s = 0.0f;
    float duration_s = 40.0f;
    float dt = 0.02f;
    float sigma = 0.1f;
    float fmax_hz = 10.0f;
    float top_depth_km = 4.0f;
    float dip_deg = 60.0f;
    float constant = 2.0f;

    bool quiet_second_segment = false;  // adds a segment of zero slip after the first

    // One subfault, no rupture-velocity perturbation: each ray is easy to follow.
    static Scenario single_subfault(std::vector<std::int32_t> codes) {
        Scenario s;
        s.n_along = 1;
        s.n_down = 1;
        s.rayset = std::move(codes);
        s.sigma = 0.0f;
        return s;
    }

    Simulator build() const {
        std::vector<input::InputLayer> in(4);
        in[0] = {3.0, 1.5, 2.1, 0.0f, 1.0f, 100.0f, 50.0f};
        in[1] = {5.5, 3.2, 2.6, 0.0f, 5.0f, 400.0f, 200.0f};
        in[2] = {6.3, 3.6, 2.8, 0.0f, 25.0f, 800.0f, 400.0f};
        in[3] = {8.0, 4.6, 3.3, 0.0f, 0.0f, 1000.0f, 500.0f};
        HfConfig cfg;
        cfg.path = {rayset, 0};
        cfg.source = {0.8f, 0.6f, 1.0f, sigma, constant, 1.0f};
        cfg.record = {duration_s, dt};
        cfg.site = {fmax_hz};
        std::vector<input::Subfault> cells(n_along * n_down);
        for (std::size_t i = 0; i < cells.size(); ++i) {
            cells[i] = {slip, 1.0f, rupture_time_s + 0.3f * static_cast<float>(i), 40.0f};
        }
        std::vector<input::Segment> segs;
        segs.emplace_back(n_along, n_down, std::move(cells), 10.0f, 45.0f, 2.0f, 2.0f, 30.0f, dip_deg,
                          90.0f, top_depth_km, 3.0f, 2.0f);
        if (quiet_second_segment) {
            segs.emplace_back(2, 2, std::vector<input::Subfault>(4, {0.0f, 1.0f, 0.0f, 40.0f}),
                              10.1f, 45.0f, 2.0f, 2.0f, 30.0f, 60.0f, 90.0f, 2.0f, 1.0f, 1.0f);
        }
        return std::move(Simulator::create(cfg, input::StochModel(std::move(segs)),
                                           input::build_velocity_model(in, 4.5).value()))
            .value();
    }
};

// A station about `km` kilometres east of the segment origin (10 E, 45 N).
Station station_at(float km, float kappa = 0.04f) {
    return Station{10.0f + km / 78.8f, 45.0f, kappa, 0.6f};
}

double energy(const StationRecord& r, std::size_t c) {
    double e = 0.0;
    for (float x : r.row(c)) e += double{x} * double{x};
    return e;
}

struct FixtureEnv {
    FixtureEnv() { setenv("KORVANE_FIXTURE_RNG", "", 1); }
    ~FixtureEnv() { unsetenv("KORVANE_FIXTURE_RNG"); }
};

}  // namespace

TEST(StationRun, ReproducibleFromTheSeed) {
    const Simulator sim = Scenario{}.build();
    const Station st = station_at(20.0f);
    const StationRecord a = sim.run(st, 42);
    ASSERT_EQ(a.acceleration.size(), 3 * sim.n_time);
    EXPECT_GT(energy(a, 0), 0.0);
    EXPECT_TRUE(std::all_of(a.acceleration.begin(), a.acceleration.end(),
                            [](float x) { return std::isfinite(x); }));
    (void)sim.run(station_at(50.0f), 7);  // another station in between
    EXPECT_EQ(sim.run(st, 42).acceleration, a.acceleration);
    StationRecord on_thread;
    std::thread([&] { on_thread = sim.run(st, 42); }).join();
    EXPECT_EQ(on_thread.acceleration, a.acceleration);
    EXPECT_NE(sim.run(st, 43).acceleration, a.acceleration);

    // run_into adds into caller rows exactly what run returns.
    std::vector<float> rows(3 * sim.n_time, 0.0f);
    RecordRows out;
    for (std::size_t c = 0; c < 3; ++c) out.rows[c] = {rows.data() + c * sim.n_time, sim.n_time};
    sim.run_into(st, 42, out);
    EXPECT_EQ(rows, a.acceleration);
}

TEST(StationRun, FixtureStreams) {
    const Simulator sim = Scenario{}.build();
    const StationRecord pcg = sim.run(station_at(20.0f), 5);
    FixtureEnv env;
    const StationRecord fix = sim.run(station_at(20.0f), 5);
    EXPECT_NE(fix.acceleration, pcg.acceleration);
    // Seeds equal in their low 32 bits share the station stream (the deviates) under the fixture,
    // but the subfault and ray keys mix all 64 bits, so the records differ.
    const std::uint64_t seed = 0x1234;
    auto a = rng::DrawSource::for_station(seed);
    auto b = rng::DrawSource::for_station(seed | (std::uint64_t{9} << 40));
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(a.uniform(), b.uniform());
    EXPECT_NE(sim.run(station_at(20.0f), seed).acceleration,
              sim.run(station_at(20.0f), seed | (std::uint64_t{9} << 40)).acceleration);

    // A variant handed in by the caller wins over the environment.
    std::vector<float> rows(3 * sim.n_time, 0.0f);
    RecordRows out;
    for (std::size_t c = 0; c < 3; ++c) out.rows[c] = {rows.data() + c * sim.n_time, sim.n_time};
    sim.run_into(station_at(20.0f), 5, rng::Variant::Pcg, out);
    EXPECT_EQ(rows, pcg.acceleration);
}

TEST(StationRun, EmptyAndSkippedWork) {
    Scenario zero_len;
    zero_len.duration_s = 0.0f;
    const StationRecord empty = zero_len.build().run(station_at(20.0f), 1);
    EXPECT_EQ(empty.n_time, 0u);
    EXPECT_TRUE(empty.acceleration.empty());

    Scenario no_rays;
    no_rays.rayset = {};
    const StationRecord silent = no_rays.build().run(station_at(20.0f), 1);
    EXPECT_TRUE(std::all_of(silent.acceleration.begin(), silent.acceleration.end(),
                            [](float x) { return x == 0.0f; }));

    // A segment whose weights are all below 0.001 adds nothing (and shifts no stream).
    Scenario quiet;
    quiet.quiet_second_segment = true;
    EXPECT_EQ(quiet.build().run(station_at(20.0f), 9).acceleration,
              Scenario{}.build().run(station_at(20.0f), 9).acceleration);

    // A negative code stops at the first kept subfault; late subfaults are never kept.
    Scenario late;
    late.rayset = {-1};
    late.rupture_time_s = 1000.0f;  // every subfault starts after the record
    EXPECT_NO_THROW((void)late.build().run(station_at(20.0f), 1));
    Scenario on_time = late;
    on_time.rupture_time_s = 0.0f;
    EXPECT_EQ(fault_message([&] { (void)on_time.build().run(station_at(20.0f), 1); }),
              "ray type -1 is negative; th1 would be undefined");
}

TEST(StationRun, LateSubfaultLimit) {
    // A negative code stops the run exactly when its subfault is kept, i.e. not late
    // (first + onset <= n_time). Walking the onset up, the stops end at one limit and
    // never come back; the limit lies before the record end.
    Scenario s = Scenario::single_subfault({0, -1});
    auto stops = [&](int onset) {
        Scenario t = s;
        t.rupture_time_s = (static_cast<float>(onset) + 0.5f) * s.dt;
        return fault_message([&] { (void)t.build().run(station_at(20.0f), 1); }) != "<no fault>";
    };
    const int n_time = static_cast<int>(s.build().n_time);
    int lo = 0, hi = n_time + 1;  // stops(lo), !stops(hi)
    ASSERT_TRUE(stops(lo));
    ASSERT_FALSE(stops(hi));
    while (hi - lo > 1) {
        const int mid = (lo + hi) / 2;
        (stops(mid) ? lo : hi) = mid;
    }
    EXPECT_LT(lo, n_time);
    EXPECT_GT(lo, n_time - 400);  // first arrival within a few seconds at 20 km
    for (int onset = hi; onset < hi + 50; ++onset) EXPECT_FALSE(stops(onset)) << onset;
    for (int onset = lo - 50; onset <= lo; ++onset) EXPECT_TRUE(stops(onset)) << onset;
}

TEST(StationRun, PlacementOfTheStartSample) {
    // Code 0, one subfault: the ray's series is fixed by its keys and its plan length, which the
    // window limits here, so moving the onset only shifts where the series lands.
    Scenario s = Scenario::single_subfault({0});
    const Station st = station_at(30.0f);
    auto record = [&](int onset) {
        Scenario t = s;
        t.rupture_time_s = (static_cast<float>(onset) + (onset < 0 ? -0.5f : 0.5f)) * s.dt;
        return t.build().run(st, 3);
    };
    const StationRecord base = record(0);
    const std::size_t n = base.n_time;
    const auto row0 = base.row(0);
    const auto f0 = static_cast<std::size_t>(
        std::find_if(row0.begin(), row0.end(), [](float x) { return x != 0.0f; }) - row0.begin());
    ASSERT_GT(f0, 10u);  // start - 1 = trunc(t0 / dt) - 1 with t0 = 0.7 R / 3.7
    ASSERT_LT(f0, n / 2);
    const int start0 = static_cast<int>(f0) + 1;

    const StationRecord later = record(100);
    for (std::size_t q = 0; q < n - f0 - 100; ++q) {
        ASSERT_EQ(later.row(1)[f0 + 100 + q], base.row(1)[f0 + q]) << q;
    }
    for (std::size_t q = 0; q < f0 + 100; ++q) ASSERT_EQ(later.row(2)[q], 0.0f);

    const StationRecord at_one = record(1 - start0);  // start = 1: sample 0 lands at index 0
    EXPECT_EQ(at_one.row(0)[0], base.row(0)[f0]);
    EXPECT_EQ(at_one.row(2)[5], base.row(2)[f0 + 5]);

    const StationRecord before = record(-9 - start0);  // start = -9: the first 10 samples drop
    EXPECT_EQ(before.row(0)[0], base.row(0)[f0 + 10]);

    // start = n_time: one sample, from a ray of plan length 2 (count 1).
    const StationRecord at_end = record(static_cast<int>(n) - start0);
    EXPECT_NE(at_end.row(0)[n - 1], 0.0f);
    EXPECT_EQ(at_end.row(0)[n - 2], 0.0f);
    const StationRecord past = record(static_cast<int>(n) - start0 + 1);  // start > n_time
    EXPECT_TRUE(std::all_of(past.acceleration.begin(), past.acceleration.end(),
                            [](float x) { return x == 0.0f; }));
}

TEST(StationRun, Faults) {
    Scenario neg;
    neg.rayset = {1, -3};
    EXPECT_EQ(fault_message([&] { (void)neg.build().run(station_at(20.0f), 1); }),
              "ray type -3 is negative; th1 would be undefined");

    Scenario zero_fc;  // corner frequency 0 -> infinite window length
    zero_fc.constant = 0.0f;
    EXPECT_EQ(fault_message([&] { (void)zero_fc.build().run(station_at(20.0f), 1); }),
              "a transform length that overflows usize is not a real request");

    Scenario huge;  // dt 0 with a positive duration saturates n_time
    huge.dt = 0.0f;
    const std::string msg = fault_message([&] { (void)huge.build().run(station_at(20.0f), 1); });
    EXPECT_NE(msg.find("samples a run can index"), std::string::npos) << msg;
}

// A subfault in the air layer (a nearly flat segment at the surface) has a
// window of tens of millions of samples but far too little moment to be
// synthesised. It must not size its segment's buffers: the run has to fit in
// 256 MB more address space (it used to want gigabytes, and seconds).
TEST(StationRun, AirLayerWindowDoesNotSizeTheBuffers) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "an address-space limit does not mix with sanitizer shadow memory";
#else
    Scenario s;
    s.n_along = 1;
    s.n_down = 3;
    s.top_depth_km = 0.0f;
    s.dip_deg = 0.002f;  // row 0 at 0.000035 km: in the air layer; rows 1, 2 below it
    s.dt = 0.0001f;  // a window of 2.5e7 samples: 650 MB of plan and shape buffers
    s.duration_s = 8.0f;
    s.rayset = {1, 2};
    const Simulator sim = s.build();
    ASSERT_LT(sim.moment_weights[0][0], 0.001f);
    ASSERT_GT(sim.moment_weights[0][1], 0.001f);
    const auto limited_run = [&sim] {
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const auto used = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
        const rlimit limit{used + (rlim_t{256} << 20), RLIM_INFINITY};
        if (setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(2);
        const StationRecord r = sim.run(station_at(5.0f), 3);
        const bool finite = std::all_of(r.acceleration.begin(), r.acceleration.end(),
                                        [](float x) { return std::isfinite(x); });
        std::_Exit(finite && energy(r, 0) > 0.0 ? 0 : 1);
    };
    EXPECT_EXIT(limited_run(), ::testing::ExitedWithCode(0), "");
#endif
}

TEST(StationRun, AmplitudeFallsWithDistance) {
    const Simulator sim = Scenario{}.build();
    double near = 0.0, mid = 0.0, far = 0.0;
    for (std::uint64_t seed = 0; seed < 6; ++seed) {
        near += energy(sim.run(station_at(10.0f), seed), 0);
        mid += energy(sim.run(station_at(40.0f), seed), 0);
        far += energy(sim.run(station_at(100.0f), seed), 0);
    }
    EXPECT_GT(near, 3.0 * mid);
    EXPECT_GT(mid, 3.0 * far);
}

TEST(StationRun, EnergyPeaksNearTheArrival) {
    // One subfault, direct ray only: the envelope peaks near the arrival of the ray
    // (the window peaks eps * Tw after its start, which is lead = eps * Tw before the arrival).
    Scenario s = Scenario::single_subfault({1});
    s.top_depth_km = 8.0f;
    s.duration_s = 80.0f;
    const Simulator sim = s.build();
    const float km = 60.0f;
    std::vector<double> env(sim.n_time, 0.0);
    for (std::uint64_t seed = 0; seed < 20; ++seed) {
        const StationRecord r = sim.run(station_at(km), seed);
        for (std::size_t i = 0; i < sim.n_time; ++i) env[i] += double{r.row(0)[i]} * double{r.row(0)[i]};
    }
    const auto peak = static_cast<double>(std::max_element(env.begin(), env.end()) - env.begin()) *
                      double{s.dt};
    // S arrival for ~60 km through a 3.2-3.6 km/s crust: roughly 16-19 s.
    EXPECT_GT(peak, 12.0);
    EXPECT_LT(peak, 24.0);
}

// One Simulator shared by eight threads that start together: every record is
// byte for byte the one computed alone. Built under ThreadSanitizer by
// scripts/check-sanitize.sh, this is also the data-race check of the run
// (each thread builds its own FFT plans, under the planner lock, while the
// others execute theirs).
TEST(StationRunConcurrency, EightThreadsShareOneSimulator) {
    Scenario s;
    s.duration_s = 20.0f;
    const Simulator sim = s.build();
    constexpr std::size_t workers = 8;
    constexpr std::size_t per_worker = 3;
    const auto station_of = [](std::size_t w, std::size_t k) {
        return station_at(5.0f + 7.0f * static_cast<float>(w) + 2.0f * static_cast<float>(k));
    };
    const auto seed_of = [](std::size_t w, std::size_t k) {
        return std::uint64_t{0x9E3779B97F4A7C15} * (w + 1) + k;
    };

    std::vector<std::vector<StationRecord>> got(workers);
    std::barrier start(static_cast<std::ptrdiff_t>(workers));
    std::mutex m;
    std::condition_variable cv;
    std::size_t finished = 0;
    std::vector<std::thread> threads;
    for (std::size_t w = 0; w < workers; ++w) {
        threads.emplace_back([&, w] {
            start.arrive_and_wait();
            for (std::size_t k = 0; k < per_worker; ++k) {
                // Odd workers write through run_into, even ones through run.
                if (w % 2 == 0) {
                    got[w].push_back(sim.run(station_of(w, k), seed_of(w, k)));
                } else {
                    StationRecord r;
                    r.n_time = sim.n_time;
                    r.acceleration.assign(3 * sim.n_time, 0.0f);
                    RecordRows rows;
                    for (std::size_t c = 0; c < 3; ++c) {
                        rows.rows[c] = {r.acceleration.data() + c * sim.n_time, sim.n_time};
                    }
                    sim.run_into(station_of(w, k), seed_of(w, k), rows);
                    got[w].push_back(std::move(r));
                }
            }
            std::lock_guard lock(m);
            ++finished;
            cv.notify_all();
        });
    }
    {
        std::unique_lock lock(m);
        if (!cv.wait_for(lock, std::chrono::minutes(5), [&] { return finished == workers; })) {
            std::fprintf(stderr, "station runs on %zu threads missed their deadline\n", workers);
            std::abort();  // a hung worker cannot be joined; fail loudly instead of waiting
        }
    }
    for (auto& t : threads) t.join();

    for (std::size_t w = 0; w < workers; ++w) {
        ASSERT_EQ(got[w].size(), per_worker);
        for (std::size_t k = 0; k < per_worker; ++k) {
            const StationRecord alone = sim.run(station_of(w, k), seed_of(w, k));
            ASSERT_GT(energy(alone, 0), 0.0);
            EXPECT_EQ(got[w][k].acceleration, alone.acceleration) << "worker " << w << " station " << k;
        }
    }
}
