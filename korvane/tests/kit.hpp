// The core tests' shared kit: one crust builder per layer type, one segment
// builder, one environment guard and the message of a stop.
#pragma once

#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "korvane/fault.hpp"
#include "korvane/input.hpp"
#include "korvane/state.hpp"

namespace korvane::testing {

// Runs f; returns the Fault's message, or "<no fault>" when f returns.
template <class F>
std::string fault_message(F&& f) {
    try {
        f();
    } catch (const Fault& e) {
        return e.message();
    }
    return "<no fault>";
}

// Sets (or, with nullopt, removes) an environment variable for the guard's
// lifetime; the old value comes back afterwards.
class EnvGuard {
public:
    EnvGuard(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* v = std::getenv(name)) saved_ = v;
        set(value);
    }
    ~EnvGuard() { set(saved_); }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

private:
    void set(const std::optional<std::string>& v) {
        if (v) {
            setenv(name_, v->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }
    const char* name_;
    std::optional<std::string> saved_;
};

// One layer row, top down: thickness (0: the half-space), velocities, density, Qs.
// Qp is twice Qs.
struct Layer {
    double thickness_km, vp_km_s, vs_km_s;
    double density_g_cm3 = 2.7;
    float qs = 100.0f;
};

// The rows as given to build_velocity_model (depths left for it to write).
inline std::vector<state::InputLayer> input_layers(std::initializer_list<Layer> rows) {
    std::vector<state::InputLayer> out;
    for (const Layer& l : rows) {
        out.push_back({l.vp_km_s, l.vs_km_s, l.density_g_cm3, 0.0f,
                       static_cast<float>(l.thickness_km), 2.0f * l.qs, l.qs});
    }
    return out;
}

// The rows as the ray, spectrum and site code see them (no air layer added).
inline std::vector<state::RayLayer> ray_layers(std::initializer_list<Layer> rows) {
    std::vector<state::RayLayer> out;
    double bottom = 0.0;
    for (const Layer& l : rows) {
        bottom += l.thickness_km;
        out.push_back({bottom, l.thickness_km, l.vp_km_s, l.vs_km_s, l.density_g_cm3,
                       2.0f * l.qs, l.qs});
    }
    return out;
}

// One segment of uniform cells; every field has a plain default.
struct SegmentSpec {
    std::size_t n_along = 2, n_down = 2;
    float slip = 1.0f, rise_time_s = 1.0f, rupture_time_s = 0.0f, stress_drop_bars = 50.0f;
    float longitude_deg = 10.0f, latitude_deg = 45.0f;
    float length_km = 2.0f, width_km = 2.0f;
    float strike_deg = 30.0f, dip_deg = 60.0f, rake_deg = 90.0f, top_depth_km = 2.0f;
    float hypo_along_km = 1.0f, hypo_down_km = 1.0f;
};

inline input::Segment make_segment(const SegmentSpec& s) {
    std::vector<input::Subfault> cells(
        s.n_along * s.n_down, {s.slip, s.rise_time_s, s.rupture_time_s, s.stress_drop_bars});
    return input::Segment(s.n_along, s.n_down, std::move(cells), s.longitude_deg, s.latitude_deg,
                          s.length_km, s.width_km, s.strike_deg, s.dip_deg, s.rake_deg,
                          s.top_depth_km, s.hypo_along_km, s.hypo_down_km);
}

}  // namespace korvane::testing
