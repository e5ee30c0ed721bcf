#include "korvane/site.hpp"

#include <cmath>
#include <string>

#include "korvane/fault.hpp"
#include "korvane/vmath.hpp"

namespace korvane::site {

namespace {

// Abscissa (log frequency) of the flat segment past the last table point: far
// beyond any frequency, 1e15 rounded to f32.
constexpr float kBeyondTable = 1e15f;

// Running f32 sums: widen, add a double term, round back.
inline float add_f64(float acc, double term) { return static_cast<float>(static_cast<double>(acc) + term); }

}  // namespace

void site_amplification_factors(std::span<const state::RayLayer> layers, std::size_t ref_layer,
                                std::span<const float> ln_f, std::span<float> out) {
    check_index(layers.size(), ref_layer);
    const state::RayLayer& ref = layers[ref_layer];
    const float z_ref = static_cast<float>(ref.vsh_km_s * ref.density_g_cm3);
    check_same_length(out.size(), ln_f.size());

    for (std::size_t i = 0; i < ln_f.size(); ++i) {
        check_index(layers.size(), 1);
        const float f = std::exp(ln_f[i]);
        const float quarter = 0.25f / f;  // quarter period, s

        // Walk down from layer 1 (air never takes part) until the vertical
        // shear travel time t from the top of layer 1 reaches the quarter
        // period, or the reference layer is reached.
        std::size_t k = 1;
        float t_prev = 0.0f;
        float sum_h = 0.0f;   // thickness above layer k, km
        float sum_rt = 0.0f;  // sum of rho * h / v above layer k
        float t = static_cast<float>(layers[1].thickness_km / layers[1].vsh_km_s);
        while (!(t >= quarter) && k != ref_layer) {
            const state::RayLayer& lk = layers[k];
            t_prev = t;
            sum_rt = add_f64(sum_rt, lk.density_g_cm3 * lk.thickness_km / lk.vsh_km_s);
            sum_h = add_f64(sum_h, lk.thickness_km);
            ++k;
            check_index(layers.size(), k);
            t = add_f64(t_prev, layers[k].thickness_km / layers[k].vsh_km_s);
        }

        // Layer k takes the remaining time, as if it went on downwards.
        const state::RayLayer& lk = layers[k];
        const float rest = quarter - t_prev;
        const double q = static_cast<double>(quarter);
        const float v_bar =
            static_cast<float>((static_cast<double>(sum_h) + static_cast<double>(rest) * lk.vsh_km_s) / q);
        const float rho_bar =
            static_cast<float>((static_cast<double>(sum_rt) + static_cast<double>(rest) * lk.density_g_cm3) / q);
        out[i] = 0.5f * std::log(z_ref / (rho_bar * v_bar));  // ln of the square root
    }
}

void site_gain_curve(std::span<const float> grid, std::span<const float> xs, std::span<const float> ys,
                     std::span<float> out) {
    const std::size_t n = out.size();
    const std::size_t last = checked_sub(n, std::size_t{1});
    const std::size_t m = ys.size();
    check_index(m, 0);
    check_index(xs.size(), 0);

    // The ends come from the table whatever the grid holds there.
    out[0] = std::exp(ys[0]);
    out[last] = std::exp(ys[m - 1]);
    if (n <= 2) return;

    // Forward cursor; the first segment is flat at ys[0] below xs[0].
    std::size_t j = 0;
    float x_lo = 0.0f, y_lo = ys[0];
    float x_hi = xs[0], y_hi = ys[0];
    for (std::size_t i = 1; i < last; ++i) {
        check_index(grid.size(), i);
        const float x = grid[i];
        while (j < m && x > x_hi) {
            if (j < m - 1) {
                x_lo = x_hi;
                y_lo = y_hi;
                ++j;
                check_index(xs.size(), j);
                x_hi = xs[j];
                y_hi = ys[j];
            } else {
                // Past the table: flat at ys[m-1] for good.
                check_index(xs.size(), m - 1);
                x_lo = xs[m - 1];
                y_lo = ys[m - 1];
                x_hi = kBeyondTable;
                y_hi = ys[m - 1];
                j = m;
            }
        }
        out[i] = ((x - x_lo) * (y_hi - y_lo)) / (x_hi - x_lo) + y_lo;  // ln gain
    }
    vmath::exp(out.subspan(1, last - 1), out.subspan(1, last - 1));
}

void apply_site_amplification(std::span<std::complex<float>> spectrum, std::span<const float> gains) {
    const std::size_t n = spectrum.size();
    const std::size_t half = n / 2;
    if (gains.size() != half + 1) {
        fail("a gain curve covers the positive half plus Nyquist, " + std::to_string(half + 1) + " bins for a " +
             std::to_string(n) + "-point transform");
    }
    check_index(n, 0);
    for (std::size_t k = 0; k <= half; ++k) {
        const float g = gains[k];
        spectrum[k] = {spectrum[k].real() * g, spectrum[k].imag() * g};
    }
    // The bins above Nyquist mirror those below it; for odd n the two halves
    // differ in length.
    check_same_length(n - half - 1, half - 1);
    for (std::size_t j = 0; j + 2 <= half; ++j) {
        spectrum[half + 1 + j] = std::conj(spectrum[half - 1 - j]);
    }
}

}  // namespace korvane::site
