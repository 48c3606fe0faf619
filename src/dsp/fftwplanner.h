#pragma once

#include <fftw3.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>

namespace dsp {

/// The lock every FFTW plan creation and destruction takes: the FFTW
/// planner is not thread-safe, and passes may run in several threads.
std::mutex &fftwPlannerMutex();

struct FftwFree
{
    void operator()(void *p) const { fftw_free(p); }
};
/// Memory from fftw_malloc, aligned as the plans want it.
template <typename T>
using FftwBuffer = std::unique_ptr<T[], FftwFree>;

/// `count` zeroed elements (doubles or complex bins) from fftw_malloc.
template <typename T>
FftwBuffer<T> allocateZeroed(std::size_t count)
{
    // fftw_malloc answers null when memory is short; fail as new does.
    void *memory = fftw_malloc(sizeof(T) * count);
    if (!memory)
        throw std::bad_alloc();
    FftwBuffer<T> buffer(static_cast<T *>(memory));
    std::memset(static_cast<void *>(buffer.get()), 0, sizeof(T) * count); // 0.0 is all zero bits
    return buffer;
}

/// Sees every transform executed, on the thread that executes it: how the
/// benchmarks count the transforms a pass makes. None is set unless one
/// asks; without one a transform costs one test of a pointer more, and the
/// plans are the same either way.
class TransformWatch
{
public:
    /// One transform of `size` values, forward (real to complex) or backward.
    virtual void executed(int size, bool forward) = 0;

protected:
    ~TransformWatch() = default;
};

/// Sets the watch, or with null removes it; only while no transform runs.
void watchTransforms(TransformWatch *watch);

namespace detail {
extern std::atomic<TransformWatch *> transformWatch;
}

/// A real transform of one length with its buffers: `input()` (size
/// values) to `spectrum()` (size / 2 + 1 bins) forward, `spectrum()` to
/// `output()` backward, unnormalised. The plans are estimated, so every
/// transform of a length rounds alike on every run; all transforms of a
/// length share one pair of plans, made once under the planner lock, and
/// executing them needs no lock. Every buffer a transform runs on comes
/// from fftw_malloc or is aligned to 64 bytes, as the plans' own were.
class RealTransform
{
public:
    explicit RealTransform(int size);
    RealTransform(const RealTransform &) = delete;
    RealTransform &operator=(const RealTransform &) = delete;

    int size() const { return length; }
    int bins() const { return length / 2 + 1; }
    double *input() { return in.get(); }
    fftw_complex *spectrum() { return bins_.get(); }
    double *output() { return out.get(); }

    void forward() { forward(in.get(), bins_.get()); }
    void backward() { backward(bins_.get(), out.get()); }
    /// Makes the plans of `size` now, if not yet made, so that a first
    /// transform of that length later does not wait for them.
    static void prepare(int size) { plansFor(size); }

    /// The same transforms on other buffers of the same sizes.
    void forward(double *from, fftw_complex *to)
    {
        fftw_execute_dft_r2c(plans.forward, from, to);
        noteExecuted(true);
    }
    void backward(fftw_complex *from, double *to)
    {
        fftw_execute_dft_c2r(plans.backward, from, to);
        noteExecuted(false);
    }

    /// product = a * b bin by bin, (ar br - ai bi, ar bi + ai br); `product`
    /// may be `a` or `b`.
    static void multiply(const fftw_complex *a, const fftw_complex *b, fftw_complex *product,
                         int bins)
    {
        for (int f = 0; f < bins; ++f) {
            const double ar = a[f][0], ai = a[f][1];
            const double br = b[f][0], bi = b[f][1];
            product[f][0] = ar * br - ai * bi;
            product[f][1] = ar * bi + ai * br;
        }
    }

private:
    struct Plans
    {
        fftw_plan forward;
        fftw_plan backward;
    };
    static const Plans &plansFor(int size);
    void noteExecuted(bool forward) const
    {
        if (TransformWatch *watch = detail::transformWatch.load(std::memory_order_relaxed))
            watch->executed(length, forward);
    }

    int length;
    FftwBuffer<double> in;
    FftwBuffer<fftw_complex> bins_;
    FftwBuffer<double> out;
    const Plans &plans;
};

} // namespace dsp
