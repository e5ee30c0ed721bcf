// The layer models and the per-ray scratch state shared by the model
// preparation, the simulator, the ray code and the site term.
//
// Layers are listed top down; the last one has thickness 0 and stands for the
// half-space. Units: km, km/s, g/cm^3, s. Depths and velocities of the model
// the ray code walks are f64, quality factors f32.
//
// A RayState is the working memory of one generalised ray: its legs, their
// leg counts per layer and wave mode, and the direction of every leg. The
// station run keeps one per segment and every ray refills it, so its lists
// keep their capacity and a ray allocates nothing once they have grown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvane::state {

// One layer of the 1-D velocity model as given, top down. The last layer of a
// prepared model has thickness 0 and stands for the half-space.
struct InputLayer {
    double vp_km_s = 0.0;          // P velocity, km/s
    double vsh_km_s = 0.0;         // SH velocity, km/s; compared with vs_moho
    double density_g_cm3 = 0.0;    // g/cm^3
    float bottom_depth_km = 0.0f;  // written by build_velocity_model
    float thickness_km = 0.0f;     // 0 marks the half-space
    float quality_factor_p = 0.0f;
    float quality_factor_s = 0.0f;
};

// One layer of the air-layered model used by the ray, spectrum and site code:
// depths widened to f64. Layer 0 is the air layer when one was inserted.
struct RayLayer {
    double bottom_depth_km = 0.0;
    double thickness_km = 0.0;
    double vp_km_s = 0.0;
    double vsh_km_s = 0.0;
    double density_g_cm3 = 0.0;
    float quality_factor_p = 0.0f;
    float quality_factor_s = 0.0f;
};

// Wave mode of one leg. Any value other than Compressional counts as shear.
enum class WaveMode : std::uint8_t { Shear = 1, Compressional = 2 };

// Number of legs per layer and mode (one entry per layer). A whole leg counts
// 1; the source and receiver layers lose the fraction not crossed.
struct Travel {
    std::vector<float> p_counts;
    std::vector<float> s_counts;

    // Empties both lists and fills each with n zeros (keeps the capacity).
    void reset_for(std::size_t n) {
        p_counts.assign(n, 0.0f);
        s_counts.assign(n, 0.0f);
    }
};

// What green_function writes for one ray.
struct GreenResult {
    float ray_parameter_s_km = 0.0f;  // p
    float travel_time_s = 0.0f;       // t
    float path_length_km = 0.0f;
    float t_star_s = 0.0f;
};

// Scratch state of one ray; one per segment of a station run, rewritten by
// every green_function call. `legs` and `modes` hold the path as a
// ray::RayPath does (layer index and mode of each leg, source to receiver).
struct RayState {
    std::vector<std::size_t> legs;
    std::vector<WaveMode> modes;
    std::int32_t start_sign = 0;  // negative: a path of several legs starts upward
    Travel travel;
    std::size_t deepest = 0;          // largest layer index among the legs
    std::uint8_t first_down = 0;      // 1 when the first leg goes down
    std::vector<std::uint8_t> turns;  // 1 when the next leg stays in the layer; [2] for one leg
    std::vector<std::uint8_t> down;   // 1 when the leg goes down
    std::uint32_t mode_flag = 0;      // 2 when the first leg is Shear, else 1
};

}  // namespace korvane::state
