// Support blocks of the generated model code: on- and off-delays (stepped, on the millisecond
// clock, and counted in calls, each also for vectors), a comparison debounce, a range check with
// debounce, a first-order low-pass, a limited vector integrator and the 32 x 32-bit multiply.
// Every block keeps its state in memory that the caller owns; none allocates, locks or fails.
//
// Delay times are seconds (f32). A time becomes a limit in milliseconds by truncating T x 1000;
// from 4294967296.0 on the limit is 0xFFFFFFFF, and a time that is not above 0 (negative, zero or
// NaN) is limit 0, so that no out-of-range conversion happens on any input.
#pragma once

#include "framework/time_util.h"

#include <cstdint>

inline constexpr uint32_t UTIL_SIMULINK_IDLE = 0xFFFFFFFFu;

inline uint32_t util_simulink_limitMs(float T) {
    const float ms = T * 1000.0f;
    if (!(ms > 0.0f)) return 0;
    if (ms >= 4294967296.0f) return UTIL_SIMULINK_IDLE;
    return static_cast<uint32_t>(ms);
}

// Timer + step, held at 0xFFFFFFFF instead of wrapping.
inline uint32_t util_simulink_advance(uint32_t timer, uint32_t stepMs) {
    return timer > UTIL_SIMULINK_IDLE - 1u - stepMs ? UTIL_SIMULINK_IDLE : timer + stepMs;
}

// On-delay: 1 once the input has been active for T (from the (L+1)-th active call at step 1 ms).
inline void util_simulink_turnOn(uint8_t in, uint32_t stepMs, float T, uint32_t* timer, uint8_t* out) {
    if (in == 0) {
        *timer = 0;
        *out = 0;
    } else if (*out != 1 || *timer == 0) {
        if (T < 0.0f) {
            *out = 1;
            *timer = UTIL_SIMULINK_IDLE;
        } else if (*timer < util_simulink_limitMs(T)) {
            *out = 0;
            *timer = util_simulink_advance(*timer, stepMs);
        } else {
            *out = 1;
            *timer = UTIL_SIMULINK_IDLE;
        }
    }
}

// Off-delay: 1 while the input is exactly 1 and for T after it falls. A timer that starts idle
// keeps the output off until the input has been 1.
inline void util_simulink_turnOff(uint8_t in, uint32_t stepMs, float T, uint32_t* timer, uint8_t* out) {
    if (in == 1) {
        *timer = 0;
        *out = 1;
    } else if (*out != 0 || *timer == 0) {
        if (T >= 0.0f && *timer < util_simulink_limitMs(T)) {
            *out = 1;
            *timer = util_simulink_advance(*timer, stepMs);
        } else {
            *out = 0;
            *timer = UTIL_SIMULINK_IDLE;
        }
    }
}

// The same delays on the millisecond clock; start 0 = not started, -1 = forced expired.
inline void util_simulink_turnOnAsyncAt(uint32_t now, uint8_t in, float T, int32_t* start, uint8_t* out) {
    if (in == 0) {
        *start = 0;
        *out = 0;
    } else if (*out != 1 || *start == 0) {
        if (*start == -1) {
            *out = 1;
        } else {
            if (*start == 0) *start = static_cast<int32_t>(now);
            *out = now - static_cast<uint32_t>(*start) >= util_simulink_limitMs(T);
        }
    }
}

inline void util_simulink_turnOffAsyncAt(uint32_t now, uint8_t in, float T, int32_t* start, uint8_t* out) {
    if (in == 1) {
        *start = 0;
        *out = 1;
    } else if (*out != 0 || *start == 0) {
        if (*start == -1) {
            *out = 0;
        } else {
            if (*start == 0) *start = static_cast<int32_t>(now);
            *out = now - static_cast<uint32_t>(*start) < util_simulink_limitMs(T);
        }
    }
}

inline void util_simulink_turnOnAsync(uint8_t in, float T, int32_t* start, uint8_t* out) {
    util_simulink_turnOnAsyncAt(time_get_time_ms(), in, T, start, out);
}

inline void util_simulink_turnOffAsync(uint8_t in, float T, int32_t* start, uint8_t* out) {
    util_simulink_turnOffAsyncAt(time_get_time_ms(), in, T, start, out);
}

// Delays counted in calls; cnt 0xFFFFFFFF = expired.
inline void util_simulink_turnOnN(uint8_t in, uint32_t n, uint32_t* cnt, uint8_t* out) {
    if (in == 0) {
        *cnt = 0;
        *out = 0;
    } else if (*cnt < n) {
        *out = 0;
        ++*cnt;
    } else {
        *out = 1;
        *cnt = UTIL_SIMULINK_IDLE;
    }
}

inline void util_simulink_turnOffN(uint8_t in, uint32_t n, uint32_t* cnt, uint8_t* out) {
    if (in != 0) {
        *cnt = 0;
        *out = 1;
    } else if (*cnt < n) {
        *out = 1;
        ++*cnt;
    } else {
        *out = 0;
        *cnt = UTIL_SIMULINK_IDLE;
    }
}

// A parameter array serves element by element only when it has at least 2 entries and as many as
// there are elements; otherwise its first value serves all.
template <typename T> inline T util_simulink_param(const T* values, uint8_t count, uint8_t n, uint8_t i) {
    return count >= 2 && count == n ? values[i] : values[0];
}

inline void util_simulink_turnOnVect(const uint8_t in[], uint32_t stepMs, const float T[], uint32_t timer[],
                                     uint8_t out[], uint8_t nT, uint8_t n) {
    for (uint8_t i = 0; i < n; ++i)
        util_simulink_turnOn(in[i], stepMs, util_simulink_param(T, nT, n, i), &timer[i], &out[i]);
}

inline void util_simulink_turnOffVect(const uint8_t in[], uint32_t stepMs, const float T[], uint32_t timer[],
                                      uint8_t out[], uint8_t nT, uint8_t n) {
    for (uint8_t i = 0; i < n; ++i)
        util_simulink_turnOff(in[i], stepMs, util_simulink_param(T, nT, n, i), &timer[i], &out[i]);
}

// One clock reading per call for all elements.
inline void util_simulink_turnOnAsyncVect(const uint8_t in[], const float T[], int32_t start[], uint8_t out[],
                                          uint8_t nT, uint8_t n) {
    const uint32_t now = time_get_time_ms();
    for (uint8_t i = 0; i < n; ++i)
        util_simulink_turnOnAsyncAt(now, in[i], util_simulink_param(T, nT, n, i), &start[i], &out[i]);
}

inline void util_simulink_turnOffAsyncVect(const uint8_t in[], const float T[], int32_t start[],
                                           uint8_t out[], uint8_t nT, uint8_t n) {
    const uint32_t now = time_get_time_ms();
    for (uint8_t i = 0; i < n; ++i)
        util_simulink_turnOffAsyncAt(now, in[i], util_simulink_param(T, nT, n, i), &start[i], &out[i]);
}

inline void util_simulink_turnOnNVect(const uint8_t in[], const uint32_t limit[], uint32_t cnt[],
                                      uint8_t out[], uint8_t nLimit, uint8_t n) {
    for (uint8_t i = 0; i < n; ++i)
        util_simulink_turnOnN(in[i], util_simulink_param(limit, nLimit, n, i), &cnt[i], &out[i]);
}

inline void util_simulink_turnOffNVect(const uint8_t in[], const uint32_t limit[], uint32_t cnt[],
                                       uint8_t out[], uint8_t nLimit, uint8_t n) {
    for (uint8_t i = 0; i < n; ++i)
        util_simulink_turnOffN(in[i], util_simulink_param(limit, nLimit, n, i), &cnt[i], &out[i]);
}

// Debounced change to and from `target`.
inline void util_simulink_cmp_debounce(float dt, uint8_t active, float T, int32_t target, int32_t in,
                                       float* timer, int32_t* state, int32_t* out) {
    if (!active) {
        *timer = *state == target ? T + dt : 0.0f;
        *out = *state;
        return;
    }
    if (in == target) {
        if (*timer >= T + dt || *state == target) {
            *timer = T + dt;
            *out = target;
        } else {
            *timer += dt;
            *out = *state;
        }
    } else if (*timer > 0.0f && *state == target) {
        *timer -= dt;
        *out = *state;
    } else {
        *timer = 0.0f;
        *out = in;
    }
    *state = *out;
}

inline void util_simulink_lowpass_t(uint8_t* first, uint8_t reset, uint8_t enable, float tau, float dt,
                                    float resetValue, float initValue, float in, float* y) {
    if (reset) {
        *y = resetValue;
        *first = 0;
    } else if (*first) {
        *y = initValue;
        *first = 0;
    } else if (enable == 1) {
        if (tau > dt)
            *y += (in - *y) * dt / tau;
        else
            *y = in;
    }
}

// Range check with debounce: codeHigh above `upper`, codeLow below `lower`, 0 inside.
inline void util_simulink_sensordiagRT6(uint8_t active, uint8_t enable, float value, float upper, float lower,
                                        int32_t codeHigh, int32_t codeLow, float dt, float T, float* timer,
                                        int32_t* stored, int32_t* state, uint8_t* outOfRange,
                                        uint8_t* valid) {
    const int32_t code = value > upper ? codeHigh : value < lower ? codeLow : 0;
    const uint8_t outside = value > upper || value < lower;
    if (active) {
        if (code == 0) {
            if (*timer < T && *stored != 0) {
                *timer += dt;
                *state = *stored;
            } else {
                *timer = T;
                *state = 0;
            }
        } else if (*timer > 0.0f && *stored == 0) {
            *timer -= dt;
            *state = *stored;
        } else {
            *timer = 0.0f;
            *state = code;
        }
        *stored = *state;
        *outOfRange = outside;
        *valid = *state == 0;
        return;
    }
    *timer = *stored == 0 ? T : 0.0f;
    if (enable == 0) {
        *state = 0;
        *outOfRange = 0;
        *valid = 0;
    } else {
        *state = *stored;
        *outOfRange = outside;
        *valid = *state == 0;
    }
}

// Limited integrator over n elements, state in double; a parameter of length 1 serves all.
inline void util_simulink_integratorK(uint8_t first[], const uint8_t reset[], uint8_t nReset,
                                      const uint8_t enable[], uint8_t nEnable, const float resetValue[],
                                      uint8_t nResetValue, const float in[], uint8_t n, const float gain[],
                                      uint8_t nGain, float dt, const float lower[], uint8_t nLower,
                                      const float upper[], uint8_t nUpper, float initValue, float out[],
                                      double state[]) {
    for (uint8_t i = 0; i < n; ++i) {
        const float lo = lower[nLower == 1 ? 0 : i];
        const float hi = upper[nUpper == 1 ? 0 : i];
        if (reset[nReset == 1 ? 0 : i]) {
            double v = resetValue[nResetValue == 1 ? 0 : i];
            if (v > hi)
                v = hi;
            else if (v < lo)
                v = lo;
            state[i] = v;
        } else if (first[i]) {
            state[i] = initValue;
        } else if (enable[nEnable == 1 ? 0 : i]) {
            const float delta = in[i] * dt * gain[nGain == 1 ? 0 : i];
            state[i] += delta;
            if (state[i] > hi)
                state[i] = hi;
            else if (state[i] < lo)
                state[i] = lo;
        }
        out[i] = static_cast<float>(state[i]);
        first[i] = 0;
    }
}

// Full 64-bit product of two u32 from four 16 x 16-bit partial products.
inline void mul_wide_u32(uint32_t a, uint32_t b, uint32_t* hi, uint32_t* lo) {
    const uint32_t aHi = a >> 16, aLo = a & 0xFFFFu, bHi = b >> 16, bLo = b & 0xFFFFu;
    const uint32_t loLo = aLo * bLo, loHi = aLo * bHi, hiLo = aHi * bLo, hiHi = aHi * bHi;
    uint32_t low = loLo;
    uint32_t carry = 0;
    uint32_t t = loHi << 16;
    low += t;
    carry += low < t;
    t = hiLo << 16;
    low += t;
    carry += low < t;
    *hi = hiHi + (loHi >> 16) + (hiLo >> 16) + carry;
    *lo = low;
}

// Low 32 bits of (a x b) >> s; shifts of 32 and more take the high word's bits.
inline uint32_t mul_u32_loSR(uint32_t a, uint32_t b, uint32_t s) {
    uint32_t hi = 0, lo = 0;
    mul_wide_u32(a, b, &hi, &lo);
    if (s == 0) return lo;
    if (s < 32) return hi << (32 - s) | lo >> s;
    return s < 64 ? hi >> (s - 32) : 0;
}
