// Cost of name lookup and of Invoke through a dispatch table.
#include <benchmark/benchmark.h>

#include <string>

#include "ole/dispatch.h"

namespace {

class Target : public ole::DispatchObject<Target> {
 public:
  static const ole::DispatchTable<Target>& DispatchMap();
  std::string name = "server";
  LONG total = 0;
};

const ole::DispatchTable<Target>& Target::DispatchMap() {
  using T = Target;
  static const ole::DispatchTable<T> table = [] {
    auto noop = [](T&) {};
    return ole::DispatchTable<T>{
        ole::Property<T>("Name", VT_BSTR, &T::name,
                         [](T& t, const VARIANT& v) { t.name = ole::BstrToUtf8(v.bstrVal); }),
        ole::Method<T>("Add", VT_I4, {{"A", VT_I4}, {"B", VT_I4}},
                       [](T& t, const ole::DispArgs& a) { return t.total += a.I4(0) + a.I4(1); }),
        ole::Method<T>("M03", VT_EMPTY, noop), ole::Method<T>("M04", VT_EMPTY, noop),
        ole::Method<T>("M05", VT_EMPTY, noop), ole::Method<T>("M06", VT_EMPTY, noop),
        ole::Method<T>("M07", VT_EMPTY, noop), ole::Method<T>("M08", VT_EMPTY, noop),
        ole::Method<T>("M09", VT_EMPTY, noop), ole::Method<T>("M10", VT_EMPTY, noop),
        ole::Method<T>("M11", VT_EMPTY, noop), ole::Method<T>("M12", VT_EMPTY, noop),
        ole::Method<T>("M13", VT_EMPTY, noop), ole::Method<T>("M14", VT_EMPTY, noop),
        ole::Method<T>("M15", VT_EMPTY, noop), ole::Method<T>("M16", VT_EMPTY, noop),
        ole::Method<T>("M17", VT_EMPTY, noop), ole::Method<T>("M18", VT_EMPTY, noop),
        ole::Method<T>("M19", VT_EMPTY, noop), ole::Method<T>("M20", VT_EMPTY, noop),
        ole::Method<T>("M21", VT_EMPTY, noop), ole::Method<T>("M22", VT_EMPTY, noop),
        ole::Method<T>("M23", VT_EMPTY, noop), ole::Method<T>("M24", VT_EMPTY, noop),
        ole::Method<T>("M25", VT_EMPTY, noop), ole::Method<T>("M26", VT_EMPTY, noop),
        ole::Method<T>("M27", VT_EMPTY, noop), ole::Method<T>("M28", VT_EMPTY, noop),
        ole::Method<T>("M29", VT_EMPTY, noop), ole::Method<T>("LastMember", VT_EMPTY, noop),
    };
  }();
  return table;
}

void Lookup(benchmark::State& state, const char16_t* name) {
  auto obj = ole::MakeObject<Target>();
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  DISPID id = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(obj->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
  }
}
BENCHMARK_CAPTURE(Lookup, first, u"name");
BENCHMARK_CAPTURE(Lookup, last_of_30, u"LASTMEMBER");

void GetString(benchmark::State& state) {
  auto obj = ole::MakeObject<Target>();
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  for (auto _ : state) {
    CComVariant r;
    benchmark::DoNotOptimize(obj->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &r, nullptr, nullptr));
  }
}
BENCHMARK(GetString);

// Two VT_I4 arguments, passed as VT_I4 (no conversion) or as VT_BSTR (converted).
void Call(benchmark::State& state, bool asText) {
  auto obj = ole::MakeObject<Target>();
  CComVariant args[2];
  if (asText) {
    args[0] = CComVariant("2");
    args[1] = CComVariant("3");
  } else {
    args[0] = CComVariant(LONG(2));
    args[1] = CComVariant(LONG(3));
  }
  VARIANT reversed[2] = {args[1], args[0]};  // args keeps ownership
  DISPPARAMS params{reversed, nullptr, 2, 0};
  for (auto _ : state) {
    CComVariant r;
    benchmark::DoNotOptimize(obj->Invoke(2, IID_NULL, 0, DISPATCH_METHOD, &params, &r, nullptr, nullptr));
  }
}
BENCHMARK_CAPTURE(Call, exact_types, false);
BENCHMARK_CAPTURE(Call, converted, true);

}  // namespace
