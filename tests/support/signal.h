// Measurements of rendered sound for tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace testsignal {

// The frequency of a periodic signal, from the time between its first and last
// rising zero crossing (linearly interpolated); 0 when fewer than two.
inline double frequency(const std::vector<float>& x, double rate) {
    double first = -1, last = -1;
    int crossings = 0;
    for (std::size_t i = 1; i < x.size(); ++i) {
        if (x[i - 1] < 0 && x[i] >= 0) {
            const double t = static_cast<double>(i - 1) + x[i - 1] / (x[i - 1] - x[i]);
            if (first < 0) first = t;
            last = t;
            ++crossings;
        }
    }
    return crossings < 2 ? 0 : (crossings - 1) * rate / (last - first);
}

inline double cents(double measured, double expected) { return 1200.0 * std::log2(measured / expected); }

inline float peak(const std::vector<float>& x) {
    float p = 0;
    for (float v : x) p = std::max(p, std::fabs(v));
    return p;
}

// One channel of interleaved stereo frames.
inline std::vector<float> channel(const std::vector<float>& stereo, int which) {
    std::vector<float> out(stereo.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = stereo[2 * i + static_cast<std::size_t>(which)];
    return out;
}

// Index of the last frame louder than threshold, or -1.
inline long lastSounding(const std::vector<float>& x, float threshold = 1e-4f) {
    for (std::size_t i = x.size(); i-- > 0;)
        if (std::fabs(x[i]) > threshold) return static_cast<long>(i);
    return -1;
}

}  // namespace testsignal
