// Layer types shared by the model preparation, the simulator and the ray code.
#pragma once

namespace korvane::state {

// One layer of the 1-D velocity model as given, top down. The last layer of a
// prepared model has thickness 0 and stands for the half-space.
struct InputLayer {
    double vp_km_s = 0.0;        // P velocity, km/s
    double vsh_km_s = 0.0;       // SH velocity, km/s; compared with vs_moho
    double density_g_cm3 = 0.0;  // g/cm^3
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

}  // namespace korvane::state
