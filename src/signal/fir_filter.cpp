#include "fir_filter.h"

#include <algorithm>

#include "fir_kernel.h"

namespace {
// Inputs filtered between two moves of the history back to the front of its buffer.
constexpr size_t stretch = 1024;
}  // namespace

void FIRFilter::init(const std::vector<std::complex<float>>& new_taps) {
    taps = new_taps;
    taps_re_.resize(taps.size());
    taps_im_.resize(taps.size());
    for (size_t k = 0; k < taps.size(); ++k) {
        taps_re_[k] = taps[k].real();
        taps_im_[k] = taps[k].imag();
    }
    next_ = taps.empty() ? 0 : taps.size() - 1;
    history_re_.assign(next_ + stretch, 0.0f);
    history_im_.assign(next_ + stretch, 0.0f);
}

void FIRFilter::process(const std::complex<float>* in, std::complex<float>* out, size_t count) {
    const FirTaps planar{taps_re_.data(), taps_im_.data(), taps.size()};
    const size_t kept = taps.empty() ? 0 : taps.size() - 1;
    if (history_re_.empty()) {  // never initialised: no taps, an empty sum
        std::fill(out, out + count, std::complex<float>(0.0f, 0.0f));
        return;
    }
    while (count > 0) {
        if (next_ == history_re_.size()) {
            std::copy(history_re_.end() - kept, history_re_.end(), history_re_.begin());
            std::copy(history_im_.end() - kept, history_im_.end(), history_im_.begin());
            next_ = kept;
        }
        const size_t n = std::min(count, history_re_.size() - next_);
        float* re = history_re_.data() + next_;
        float* im = history_im_.data() + next_;
        for (size_t i = 0; i < n; ++i) {
            re[i] = in[i].real();
            im[i] = in[i].imag();
        }
        firBlock(planar, re, im, reinterpret_cast<float*>(out), n);
        next_ += n;
        in += n;
        out += n;
        count -= n;
    }
}
