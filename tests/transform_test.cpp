#include "audio_core/transform.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace orvo {
namespace {

using cd = std::complex<double>;

// Plain double-precision DFTs, the reference for every check below.
std::vector<cd> Dft(const std::vector<cd>& x, int sign) {
  const int n = static_cast<int>(x.size());
  std::vector<cd> tw(n);
  for (int i = 0; i < n; ++i)
    tw[i] = std::polar(1.0, sign * 2.0 * M_PI * i / n);
  std::vector<cd> y(n);
  for (int k = 0; k < n; ++k) {
    cd acc = 0.0;
    for (int i = 0; i < n; ++i)
      acc += x[i] * tw[(static_cast<long>(k) * i) % n];
    y[k] = acc;
  }
  return y;
}

// Packed spectrum of 1920 real samples: element k = 2 X[k], element 0 = (2 X[0], 2 X[960]).
std::vector<cd> ReferencePackedSpectrum(const std::vector<double>& x) {
  std::vector<cd> xc(x.begin(), x.end());
  const std::vector<cd> X = Dft(xc, -1);
  std::vector<cd> s(960);
  s[0] = cd(2.0 * X[0].real(), 2.0 * X[960].real());
  for (int k = 1; k < 960; ++k)
    s[k] = 2.0 * X[k];
  return s;
}

// x[n] = (1/3840) (S0.re + S0.im (-1)^n + 2 sum_k Re(S[k] e^(j 2 pi k n / 1920)))
std::vector<double> ReferenceInverse(const std::vector<cd>& s) {
  std::vector<cd> full(1920, 0.0);
  full[0] = s[0].real();
  full[960] = s[0].imag();
  for (int k = 1; k < 960; ++k) {
    full[k] = s[k];
    full[1920 - k] = std::conj(s[k]);
  }
  const std::vector<cd> x = Dft(full, +1);
  std::vector<double> out(1920);
  for (int i = 0; i < 1920; ++i)
    out[i] = x[i].real() / 3840.0;
  return out;
}

double RelRms(const std::vector<cd>& got, const std::vector<cd>& ref) {
  double e = 0, r = 0;
  for (size_t i = 0; i < ref.size(); ++i) {
    e += std::norm(got[i] - ref[i]);
    r += std::norm(ref[i]);
  }
  return std::sqrt(e / r);
}

double RelRms(const std::vector<double>& got, const std::vector<double>& ref) {
  double e = 0, r = 0;
  for (size_t i = 0; i < ref.size(); ++i) {
    e += (got[i] - ref[i]) * (got[i] - ref[i]);
    r += ref[i] * ref[i];
  }
  return std::sqrt(e / r);
}

// A 960-complex buffer with guard elements on both sides, to catch writes out of bounds.
class Buffer {
 public:
  static constexpr int kGuard = 8;
  Buffer() : data_(960 + 2 * kGuard, Cpx{kSentinel, kSentinel}) {}
  Cpx* get() { return data_.data() + kGuard; }
  Cpx& operator[](int i) { return data_[kGuard + i]; }
  float Real(int n) { return n % 2 == 0 ? (*this)[n / 2].re : (*this)[n / 2].im; }
  void SetReal(int n, float v) { (n % 2 == 0 ? (*this)[n / 2].re : (*this)[n / 2].im) = v; }
  bool GuardsIntact() const {
    for (int i = 0; i < kGuard; ++i)
      for (const Cpx& c : {data_[i], data_[kGuard + 960 + i]})
        if (c.re != kSentinel || c.im != kSentinel) return false;
    return true;
  }
  std::vector<cd> Complex() {
    std::vector<cd> v(960);
    for (int i = 0; i < 960; ++i)
      v[i] = cd((*this)[i].re, (*this)[i].im);
    return v;
  }
  std::vector<double> Reals() {
    std::vector<double> v(1920);
    for (int n = 0; n < 1920; ++n)
      v[n] = Real(n);
    return v;
  }
  void Fill(float v) {
    for (int i = 0; i < 960; ++i)
      (*this)[i] = Cpx{v, v};
  }

 private:
  static constexpr float kSentinel = 12345.678f;
  std::vector<Cpx> data_;
};

// Each implementation is tested on its own, and the dispatching entry points once more.
struct Impl {
  std::string name;
  void (*complexFft960)(Cpx*, Cpx*, int);
  void (*realFft1920)(Cpx*, Cpx*, int);
};

void PrintTo(const Impl& impl, std::ostream* os) {
  *os << impl.name;
}

std::vector<Impl> Impls() {
  std::vector<Impl> v{{"dispatched", &ComplexFft960, &RealFft1920}};
  for (int i = 0; i < transform_impl::VariantCount(); ++i) {
    const transform_impl::Variant& var = transform_impl::GetVariant(i);
    if (var.available) v.push_back({var.name, var.complexFft960, var.realFft1920});
  }
  return v;
}

class TransformTest : public ::testing::TestWithParam<Impl> {
 protected:
  void Forward(Buffer& work, Buffer& out) { GetParam().realFft1920(work.get(), out.get(), 1); }
  void Inverse(Buffer& work, Buffer& out) { GetParam().realFft1920(work.get(), out.get(), -1); }
};

TEST_P(TransformTest, ImpulseGivesFlatSpectrumOfTwo) {
  Buffer work, out;
  work.Fill(0.0f);
  work.SetReal(0, 1.0f);
  Forward(work, out);
  EXPECT_FLOAT_EQ(out[0].re, 2.0f);
  EXPECT_FLOAT_EQ(out[0].im, 2.0f);
  for (int k = 1; k < 960; ++k) {
    ASSERT_NEAR(out[k].re, 2.0f, 1e-6f) << k;
    ASSERT_NEAR(out[k].im, 0.0f, 1e-6f) << k;
  }
  EXPECT_TRUE(out.GuardsIntact());
  EXPECT_TRUE(work.GuardsIntact());
}

TEST_P(TransformTest, ConstantAndAlternatingLandInPackedElementZero) {
  for (const bool alternating : {false, true}) {
    Buffer work, out;
    for (int n = 0; n < 1920; ++n)
      work.SetReal(n, alternating && n % 2 ? -1.0f : 1.0f);
    Forward(work, out);
    EXPECT_NEAR(out[0].re, alternating ? 0.0f : 3840.0f, 1e-3f);
    EXPECT_NEAR(out[0].im, alternating ? 3840.0f : 0.0f, 1e-3f);
    for (int k = 1; k < 960; ++k) {
      ASSERT_NEAR(out[k].re, 0.0f, 1e-3f) << k;
      ASSERT_NEAR(out[k].im, 0.0f, 1e-3f) << k;
    }
  }
}

TEST_P(TransformTest, SingleBinInversesAreCosineAndSine) {
  Buffer work, out;
  work.Fill(0.0f);
  work[5] = Cpx{1.0f, 0.0f};
  Inverse(work, out);
  for (int n = 0; n < 1920; ++n)
    ASSERT_NEAR(out.Real(n), std::cos(2.0 * M_PI * 5 * n / 1920) / 1920.0, 1e-9) << n;

  work.Fill(0.0f);
  work[480] = Cpx{0.0f, 1.0f};
  Inverse(work, out);
  for (int n = 0; n < 1920; ++n)
    ASSERT_NEAR(out.Real(n), -std::sin(M_PI * n / 2) / 1920.0, 1e-9) << n;

  // The packed element 0: DC and 24 kHz.
  work.Fill(0.0f);
  work[0] = Cpx{3840.0f, 1920.0f};
  Inverse(work, out);
  for (int n = 0; n < 1920; ++n)
    ASSERT_NEAR(out.Real(n), 1.0 + 0.5 * (n % 2 ? -1.0 : 1.0), 1e-5) << n;
}

TEST_P(TransformTest, MatchesDoubleDftOnFullScaleNoise) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> full(-32768.0f, 32767.0f);
  for (int trial = 0; trial < 3; ++trial) {
    // Real forward.
    Buffer work, out;
    std::vector<double> x(1920);
    for (int n = 0; n < 1920; ++n) {
      work.SetReal(n, full(rng));
      x[n] = work.Real(n);
    }
    Forward(work, out);
    EXPECT_LT(RelRms(out.Complex(), ReferencePackedSpectrum(x)), 1e-6);
    EXPECT_TRUE(out.GuardsIntact() && work.GuardsIntact());

    // Real inverse of an arbitrary packed spectrum.
    std::vector<cd> s(960);
    for (int k = 0; k < 960; ++k) {
      work[k] = Cpx{full(rng), full(rng)};
      s[k] = cd(work[k].re, work[k].im);
    }
    Inverse(work, out);
    EXPECT_LT(RelRms(out.Reals(), ReferenceInverse(s)), 1e-6);
    EXPECT_TRUE(out.GuardsIntact() && work.GuardsIntact());

    // Complex transform, both directions.
    for (const int dir : {1, -1}) {
      std::vector<cd> z(960);
      for (int n = 0; n < 960; ++n) {
        work[n] = Cpx{full(rng), full(rng)};
        z[n] = cd(work[n].re, work[n].im);
      }
      GetParam().complexFft960(work.get(), out.get(), dir);
      std::vector<cd> ref = Dft(z, -dir);
      if (dir == -1)
        for (cd& v : ref)
          v /= 3840.0;
      EXPECT_LT(RelRms(out.Complex(), ref), 1e-6) << "direction " << dir;
      EXPECT_TRUE(out.GuardsIntact() && work.GuardsIntact());
    }
  }
}

TEST_P(TransformTest, ForwardThenInverseReturnsInputAndConsumesWork) {
  std::mt19937 rng(11);
  std::normal_distribution<float> noise(0.0f, 3000.0f);
  Buffer work, spectrum, back;
  std::vector<double> x(1920);
  for (int n = 0; n < 1920; ++n) {
    work.SetReal(n, noise(rng));
    x[n] = work.Real(n);
  }
  Forward(work, spectrum);
  // The input buffer served as scratch.
  EXPECT_GT(RelRms(work.Reals(), x), 1e-3);

  const std::vector<cd> s = spectrum.Complex();
  Inverse(spectrum, back);
  EXPECT_GT(RelRms(spectrum.Complex(), s), 1e-3);
  EXPECT_LT(RelRms(back.Reals(), x), 1e-6);
  for (int n = 0; n < 1920; ++n)
    ASSERT_NEAR(back.Real(n), x[n], 0.01) << n;
}

INSTANTIATE_TEST_SUITE_P(AllImplementations, TransformTest, ::testing::ValuesIn(Impls()),
                         [](const ::testing::TestParamInfo<Impl>& info) {
                           return info.param.name;
                         });

TEST(Transform, ImplementationsAgree) {
  // Every build gives the same transform within float rounding.
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> full(-32768.0f, 32767.0f);
  std::vector<Cpx> x(960);
  for (Cpx& c : x)
    c = Cpx{full(rng), full(rng)};
  std::vector<std::vector<cd>> results;
  for (const Impl& impl : Impls()) {
    for (const int dir : {1, -1}) {
      std::vector<Cpx> in = x, out(960);
      impl.realFft1920(in.data(), out.data(), dir);
      std::vector<cd> v;
      for (const Cpx& c : out)
        v.emplace_back(c.re, c.im);
      results.push_back(v);
    }
  }
  for (size_t i = 2; i < results.size(); ++i)
    EXPECT_LT(RelRms(results[i], results[i % 2]), 1e-6) << i;
}

}  // namespace
}  // namespace orvo
