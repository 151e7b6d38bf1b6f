// Speed of the conversions automation hosts make most: text to a number and
// a number to text, and a date written as text.

#include <benchmark/benchmark.h>

#include "ole/variant_convert.h"

namespace {

void BM_BstrToI4(benchmark::State& state) {
  CComVariant src(" 123456 ");
  for (auto _ : state) {
    CComVariant out;
    benchmark::DoNotOptimize(VariantChangeType(&out, &src, 0, VT_I4));
    benchmark::DoNotOptimize(out.lVal);
  }
}
BENCHMARK(BM_BstrToI4);

void BM_BstrToR8(benchmark::State& state) {
  CComVariant src("-1,234.5678e-3");
  for (auto _ : state) {
    CComVariant out;
    benchmark::DoNotOptimize(VariantChangeType(&out, &src, 0, VT_R8));
    benchmark::DoNotOptimize(out.dblVal);
  }
}
BENCHMARK(BM_BstrToR8);

void BM_R8ToBstr(benchmark::State& state) {
  CComVariant src(3.14159265358979);
  for (auto _ : state) {
    CComVariant out;
    benchmark::DoNotOptimize(VariantChangeType(&out, &src, 0, VT_BSTR));
  }
}
BENCHMARK(BM_R8ToBstr);

void BM_I4ToBstr(benchmark::State& state) {
  CComVariant src(LONG{-2147483647});
  for (auto _ : state) {
    CComVariant out;
    benchmark::DoNotOptimize(VariantChangeType(&out, &src, 0, VT_BSTR));
  }
}
BENCHMARK(BM_I4ToBstr);

void BM_DateToBstr(benchmark::State& state) {
  CComVariant src = CComVariant::FromDate(40724.55594907407);
  for (auto _ : state) {
    CComVariant out;
    benchmark::DoNotOptimize(VariantChangeType(&out, &src, 0, VT_BSTR));
  }
}
BENCHMARK(BM_DateToBstr);

}  // namespace
