// Single-precision complex product with the C99 Annex G recovery of infinities.
#pragma once

#include <cmath>
#include <complex>

// Written out rather than left to the compiler's runtime helper so that every target
// computes the same bits: plain products and sums first, and only when both parts come out
// NaN, the infinities that those NaNs stand for are recovered.
inline std::complex<float> multiplyComplex(std::complex<float> z, std::complex<float> w) {
    float a = z.real(), b = z.imag(), c = w.real(), d = w.imag();
    const float ac = a * c, bd = b * d, ad = a * d, bc = b * c;
    float x = ac - bd;
    float y = ad + bc;
    if (std::isnan(x) && std::isnan(y)) {
        bool recalc = false;
        if (std::isinf(a) || std::isinf(b)) {  // z is infinite: box it, zero NaNs in w
            a = std::copysign(std::isinf(a) ? 1.0f : 0.0f, a);
            b = std::copysign(std::isinf(b) ? 1.0f : 0.0f, b);
            if (std::isnan(c)) c = std::copysign(0.0f, c);
            if (std::isnan(d)) d = std::copysign(0.0f, d);
            recalc = true;
        }
        if (std::isinf(c) || std::isinf(d)) {  // w is infinite
            c = std::copysign(std::isinf(c) ? 1.0f : 0.0f, c);
            d = std::copysign(std::isinf(d) ? 1.0f : 0.0f, d);
            if (std::isnan(a)) a = std::copysign(0.0f, a);
            if (std::isnan(b)) b = std::copysign(0.0f, b);
            recalc = true;
        }
        if (!recalc && (std::isinf(ac) || std::isinf(bd) || std::isinf(ad) || std::isinf(bc))) {
            // overflow of finite products: the NaNs came from inf - inf
            if (std::isnan(a)) a = std::copysign(0.0f, a);
            if (std::isnan(b)) b = std::copysign(0.0f, b);
            if (std::isnan(c)) c = std::copysign(0.0f, c);
            if (std::isnan(d)) d = std::copysign(0.0f, d);
            recalc = true;
        }
        if (recalc) {
            x = INFINITY * (a * c - b * d);
            y = INFINITY * (a * d + b * c);
        }
    }
    return {x, y};
}
