// Binding of a compute routine from its C++ signature: the kind of each
// argument comes from the parameter's type, and one generic invoker reads
// the arguments of that kind and calls the routine.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>
#include <vector>

#include "indicators/indicators.hpp"
#include "registry/registry.hpp"

namespace tarvex::registry::binding {

template <class T>
using Bare = std::remove_cv_t<std::remove_reference_t<T>>;

// How a parameter of C++ type T is described and read from an Arg.
template <class T, class = void>
struct Param;

template <class T>
struct Param<T, std::enable_if_t<std::is_same_v<Bare<T>, SeriesView>>> {
  static constexpr ArgKind kind = ArgKind::Series;
  static SeriesView get(const Arg& a) { return a.series; }
};

template <class T>
struct Param<T, std::enable_if_t<std::is_same_v<Bare<T>, VSView>>> {
  static constexpr ArgKind kind = ArgKind::ScalarOrSeries;
  static VSView get(const Arg& a) { return a.is_series ? VSView{a.series} : VSView{a.number}; }
};

template <class T>
struct Param<T, std::enable_if_t<std::is_same_v<Bare<T>, std::uint64_t>>> {
  static constexpr ArgKind kind = ArgKind::U64;
  static std::uint64_t get(const Arg& a) { return a.integer; }
};

template <class T>
struct Param<T, std::enable_if_t<std::is_same_v<Bare<T>, std::uint32_t>>> {
  static constexpr ArgKind kind = ArgKind::U32;
  static std::uint32_t get(const Arg& a) { return static_cast<std::uint32_t>(a.integer); }
};

template <class T>
struct Param<T, std::enable_if_t<std::is_same_v<Bare<T>, Digits>>> {
  static constexpr ArgKind kind = ArgKind::Digits;
  static Digits get(const Arg& a) {
    return a.none ? Digits::none() : Digits{true, static_cast<std::uint32_t>(a.integer)};
  }
};

template <class T>
struct Param<T, std::enable_if_t<std::is_same_v<Bare<T>, double>>> {
  static constexpr ArgKind kind = ArgKind::Float;
  static double get(const Arg& a) { return a.number; }
};

inline SeriesList as_list(Series s) {
  SeriesList out;
  out.push_back(std::move(s));
  return out;
}
inline SeriesList as_list(SeriesList s) { return s; }
inline SeriesList as_list(double v) { return as_list(Series{v}); }

template <class R>
constexpr Shape shape_of() {
  if constexpr (std::is_same_v<R, double>) {
    return Shape::Number;
  } else if constexpr (std::is_same_v<R, Series>) {
    return Shape::Series;
  } else {
    static_assert(std::is_same_v<R, SeriesList>, "a routine returns a number, a Series or a SeriesList");
    return Shape::Lines;
  }
}

template <auto F, class R, class... A, std::size_t... I>
SeriesList call(R (*)(A...), const std::vector<Arg>& args, std::index_sequence<I...>) {
  return as_list(F(Param<A>::get(args[I])...));
}

template <auto F, class R, class... A>
SeriesList call(R (*f)(A...), const std::vector<Arg>& args) {
  return call<F>(f, args, std::index_sequence_for<A...>{});
}

template <auto F>
SeriesList invoke(const std::vector<Arg>& args) {
  return call<F>(F, args);
}

// Fills in what the routine's signature says about `f`.
template <auto F, class R, class... A>
void deduce(Function& f, R (*)(A...)) {
  f.kinds = {Param<A>::kind...};
  f.shape = shape_of<R>();
  f.invoke = &invoke<F>;
}

}  // namespace tarvex::registry::binding
