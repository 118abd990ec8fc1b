#include "tarvex_native/routines.hpp"

#include <type_traits>
#include <utility>
#include <variant>

#include "indicators/indicators.hpp"

namespace tarvex::native {
namespace {

template <class T>
using Bare = std::remove_cv_t<std::remove_reference_t<T>>;

// How a parameter of C++ type T is described and fetched for one stretch.
template <class T, class = void>
struct Param;

template <class T>
struct Param<T, std::enable_if_t<std::is_same_v<Bare<T>, SeriesView>>> {
  static constexpr ArgKind kind = ArgKind::Series;
  static SeriesView get(const Arg& a, std::size_t first, std::size_t count) { return a.series.sub(first, count); }
};

template <class T>
struct Param<T, std::enable_if_t<std::is_same_v<Bare<T>, VSView>>> {
  static constexpr ArgKind kind = ArgKind::ScalarOrSeries;
  static VSView get(const Arg& a, std::size_t first, std::size_t count) {
    if (!a.is_series) return VSView{a.number};
    return VSView{a.series.sub(first, count)};
  }
};

template <class T>
struct Param<T, std::enable_if_t<std::is_same_v<Bare<T>, std::uint64_t>>> {
  static constexpr ArgKind kind = ArgKind::U64;
  static std::uint64_t get(const Arg& a, std::size_t, std::size_t) { return a.integer; }
};

template <class T>
struct Param<T, std::enable_if_t<std::is_same_v<Bare<T>, std::uint32_t>>> {
  static constexpr ArgKind kind = ArgKind::U32;
  static std::uint32_t get(const Arg& a, std::size_t, std::size_t) { return static_cast<std::uint32_t>(a.integer); }
};

template <class T>
struct Param<T, std::enable_if_t<std::is_same_v<Bare<T>, double>>> {
  static constexpr ArgKind kind = ArgKind::Float;
  static double get(const Arg& a, std::size_t, std::size_t) { return a.number; }
};

SeriesList as_list(Series s) {
  SeriesList out;
  out.push_back(std::move(s));
  return out;
}
SeriesList as_list(SeriesList s) { return s; }
SeriesList as_list(double v) { return as_list(Series{v}); }

template <class R, class... A>
struct Signature {
  template <R (*F)(A...), std::size_t... I>
  static SeriesList call(const std::vector<Arg>& args, std::size_t first, std::size_t count,
                         std::index_sequence<I...>) {
    return as_list(F(Param<A>::get(args[I], first, count)...));
  }
};

template <class R, class... A>
Signature<R, A...> signature_of(R (*)(A...));

template <auto F, class R, class... A>
SeriesList invoke_with(Signature<R, A...>, const std::vector<Arg>& args, std::size_t first, std::size_t count) {
  return Signature<R, A...>::template call<F>(args, first, count, std::index_sequence_for<A...>{});
}

template <auto F>
SeriesList invoke(const std::vector<Arg>& args, std::size_t first, std::size_t count) {
  using S = decltype(signature_of(F));
  return invoke_with<F>(S{}, args, first, count);
}

template <class R, class... A>
Routine describe(const char* name, R (*)(A...), Invoke f) {
  return Routine{name, {Param<A>::kind...}, std::is_same_v<R, double>, f};
}

template <auto F>
Routine row(const char* name) {
  return describe(name, F, &invoke<F>);
}

// DMA has a scalar and a series form; the scalar-or-series one picks.
constexpr Series (*kDma)(SeriesView, VSView) = &DMA;

}  // namespace

const std::vector<Routine>& routines() {
  static const std::vector<Routine> table = {
      row<&RD>("RD"), row<&RET>("RET"), row<&ABS>("ABS"), row<&LN>("LN"), row<&POW>("POW"),
      row<&SQRT>("SQRT"), row<&SIN>("SIN"), row<&COS>("COS"), row<&TAN>("TAN"), row<&MAX>("MAX"),
      row<&MIN>("MIN"), row<&IF>("IF"), row<&REF>("REF"), row<&DIFF>("DIFF"), row<&STD>("STD"),
      row<&SUM>("SUM"), row<&CONST>("CONST"), row<&HHV>("HHV"), row<&LLV>("LLV"), row<&HHVBARS>("HHVBARS"),
      row<&LLVBARS>("LLVBARS"), row<&MA>("MA"), row<&EMA>("EMA"), row<&SMA>("SMA"), row<&WMA>("WMA"),
      row<kDma>("DMA"), row<&AVEDEV>("AVEDEV"), row<&SLOPE>("SLOPE"), row<&FORCAST>("FORCAST"),
      row<&LAST>("LAST"), row<&COUNT>("COUNT"), row<&EVERY>("EVERY"), row<&EXIST>("EXIST"),
      row<&FILTER>("FILTER"), row<&BARSLAST>("BARSLAST"), row<&BARSLASTCOUNT>("BARSLASTCOUNT"),
      row<&BARSSINCEN>("BARSSINCEN"), row<&CROSS>("CROSS"), row<&LONGCROSS>("LONGCROSS"),
      row<&VALUEWHEN>("VALUEWHEN"), row<&BETWEEN>("BETWEEN"), row<&TOPRANGE>("TOPRANGE"),
      row<&LOWRANGE>("LOWRANGE"),
      row<&MACD>("MACD"), row<&KDJ>("KDJ"), row<&RSI>("RSI"), row<&WR>("WR"), row<&BIAS>("BIAS"),
      row<&BOLL>("BOLL"), row<&PSY>("PSY"), row<&CCI>("CCI"), row<&ATR>("ATR"), row<&BBI>("BBI"),
      row<&DMI>("DMI"), row<&TAQ>("TAQ"), row<&KTN>("KTN"), row<&TRIX>("TRIX"), row<&VR>("VR"),
      row<&CR>("CR"), row<&EMV>("EMV"), row<&DPO>("DPO"), row<&BRAR>("BRAR"), row<&DFMA>("DFMA"),
      row<&MTM>("MTM"), row<&MASS>("MASS"), row<&ROC>("ROC"), row<&EXPMA>("EXPMA"), row<&OBV>("OBV"),
      row<&MFI>("MFI"), row<&ASI>("ASI"), row<&XSII>("XSII"),
  };
  return table;
}

}  // namespace tarvex::native
