// Fast reproducible random numbers for the simulated board: xoshiro256**
// seeded through splitmix64. Every generated event, position and waveform is
// drawn from one of these, so a board's data depends only on its seed and on
// the calls made to it.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

namespace sim {

class SimRandom {
public:
    explicit SimRandom(uint64_t seed = 0) { reseed(seed); }

    void reseed(uint64_t seed)
    {
        uint64_t x = seed;
        for (uint64_t& word : state_)
            word = splitmix64(x);
        hasSpareNormal_ = false;
    }

    // One step of splitmix64; also used to derive independent seeds.
    static uint64_t splitmix64(uint64_t& x)
    {
        uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }

    // A seed for an independent stream named by `label` (FNV-1a of the label).
    static uint64_t derive(uint64_t seed, const std::string& label)
    {
        uint64_t hash = 0xcbf29ce484222325ULL;
        for (unsigned char c : label)
            hash = (hash ^ c) * 0x100000001b3ULL;
        uint64_t x = seed ^ hash;
        return splitmix64(x);
    }

    uint64_t next()
    {
        const uint64_t result = rotl(state_[1] * 5, 7) * 9;
        const uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotl(state_[3], 45);
        return result;
    }

    // Uniform in [0, 1).
    double uniform() { return double(next() >> 11) * 0x1.0p-53; }
    // Uniform in (0, 1], safe to take the logarithm of.
    double uniformPositive() { return double((next() >> 11) + 1) * 0x1.0p-53; }
    double uniform(double low, double high) { return low + (high - low) * uniform(); }
    // Uniform integer in [0, n).
    uint32_t below(uint32_t n) { return uint32_t((uint64_t(uint32_t(next() >> 32)) * n) >> 32); }
    // Exponential with mean 1.
    double exponential() { return -std::log(uniformPositive()); }

    // Standard normal (Marsaglia's polar method, the second value kept for the next call).
    double normal()
    {
        if (hasSpareNormal_) {
            hasSpareNormal_ = false;
            return spareNormal_;
        }
        double u, v, s;
        do {
            u = 2.0 * uniform() - 1.0;
            v = 2.0 * uniform() - 1.0;
            s = u * u + v * v;
        } while (s >= 1.0 || s == 0.0);
        const double factor = std::sqrt(-2.0 * std::log(s) / s);
        spareNormal_ = v * factor;
        hasSpareNormal_ = true;
        return u * factor;
    }

private:
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

    uint64_t state_[4];
    double spareNormal_ = 0.0;
    bool hasSpareNormal_ = false;
};

}  // namespace sim
