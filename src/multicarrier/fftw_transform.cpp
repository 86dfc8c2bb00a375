#include "multicarrier/fftw_transform.hpp"

#include <fftw3.h>

#include <climits>
#include <new>
#include <string>
#include <utility>

#include "core/internal_fault.hpp"

namespace kavro {

namespace {

static_assert(sizeof(fftwf_complex) == sizeof(Complex));

Complex* allocate_zeroed(std::size_t n) {
    auto* buffer = static_cast<Complex*>(fftwf_malloc(n * sizeof(Complex)));
    if (buffer == nullptr) throw std::bad_alloc();
    for (std::size_t i = 0; i < n; ++i) buffer[i] = Complex{};
    return buffer;
}

}  // namespace

FftwTransform::FftwTransform(std::size_t n, Direction direction) : n_(n), direction_(direction) {
    if (n == 0) return;
    if (n > static_cast<std::size_t>(INT_MAX)) internal_fault("FftwTransform: length beyond FFTW's int sizes");
    if (n > SIZE_MAX / sizeof(Complex)) throw std::bad_alloc();
    in_ = allocate_zeroed(n);
    try {
        out_ = allocate_zeroed(n);
    } catch (...) {
        fftwf_free(in_);
        throw;
    }
    const int sign = direction == Direction::Forward ? FFTW_FORWARD : FFTW_BACKWARD;
    plan_ = fftwf_plan_dft_1d(static_cast<int>(n), reinterpret_cast<fftwf_complex*>(in_),
                              reinterpret_cast<fftwf_complex*>(out_), sign, FFTW_ESTIMATE);
    if (plan_ == nullptr) {
        fftwf_free(in_);
        fftwf_free(out_);
        internal_fault("FftwTransform: FFTW could not plan length " + std::to_string(n));
    }
}

FftwTransform::FftwTransform(const FftwTransform& other) : FftwTransform(other.n_, other.direction_) {}

FftwTransform::FftwTransform(FftwTransform&& other) noexcept { swap(other); }

FftwTransform& FftwTransform::operator=(FftwTransform other) noexcept {
    swap(other);
    return *this;
}

FftwTransform::~FftwTransform() {
    if (plan_ != nullptr) fftwf_destroy_plan(static_cast<fftwf_plan>(plan_));
    if (in_ != nullptr) fftwf_free(in_);
    if (out_ != nullptr) fftwf_free(out_);
}

void FftwTransform::swap(FftwTransform& other) noexcept {
    std::swap(n_, other.n_);
    std::swap(direction_, other.direction_);
    std::swap(in_, other.in_);
    std::swap(out_, other.out_);
    std::swap(plan_, other.plan_);
}

void FftwTransform::execute() {
    if (plan_ != nullptr) fftwf_execute(static_cast<fftwf_plan>(plan_));
}

}  // namespace kavro
