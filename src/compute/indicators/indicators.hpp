// Composite indicators: fixed compositions of the series primitives.
// Single-output indicators return a Series, the others a SeriesList in
// their documented output order. The Python functions and the batch
// registry call these same routines.
#pragma once

#include "series/series.hpp"

namespace tarvex {

// ---- trend and momentum (trend.cpp) ----
SeriesList MACD(const Series& close, std::uint64_t short_n, std::uint64_t long_n, std::uint64_t m);
SeriesList TRIX(const Series& close, std::uint64_t m1, std::uint64_t m2);
SeriesList DFMA(const Series& close, std::uint64_t n1, std::uint64_t n2, std::uint64_t m);
SeriesList EXPMA(const Series& close, std::uint64_t n1, std::uint64_t n2);
Series BBI(const Series& close, std::uint64_t m1, std::uint64_t m2, std::uint64_t m3, std::uint64_t m4);
SeriesList DPO(const Series& close, std::uint64_t m1, std::uint64_t m2, std::uint64_t m3);
SeriesList MTM(const Series& close, std::uint64_t n, std::uint64_t m);
SeriesList ROC(const Series& close, std::uint64_t n, std::uint64_t m);

// ---- oscillators (oscillators.cpp) ----
SeriesList KDJ(const Series& close, const Series& high, const Series& low,
               std::uint64_t n, std::uint64_t m1, std::uint64_t m2);
Series RSI(const Series& close, std::uint64_t n);
SeriesList WR(const Series& close, const Series& high, const Series& low, std::uint64_t n, std::uint64_t n1);
SeriesList BIAS(const Series& close, std::uint64_t l1, std::uint64_t l2, std::uint64_t l3);
SeriesList PSY(const Series& close, std::uint64_t n, std::uint64_t m);
Series CCI(const Series& close, const Series& high, const Series& low, std::uint64_t n);

// ---- channels and volatility (channels.cpp) ----
SeriesList BOLL(const Series& close, std::uint64_t n, double p);
Series ATR(const Series& close, const Series& high, const Series& low, std::uint64_t n);
SeriesList TAQ(const Series& high, const Series& low, std::uint64_t n);
SeriesList KTN(const Series& close, const Series& high, const Series& low, std::uint64_t n, std::uint64_t m);
SeriesList XSII(const Series& close, const Series& high, const Series& low, std::uint64_t n, std::uint64_t m);
SeriesList MASS(const Series& high, const Series& low, std::uint64_t n1, std::uint64_t n2, std::uint64_t m);

// ---- volume and directional (volume.cpp) ----
Series OBV(const Series& close, const Series& vol);
Series VR(const Series& close, const Series& vol, std::uint64_t m1);
Series CR(const Series& close, const Series& high, const Series& low, std::uint64_t n);
SeriesList EMV(const Series& high, const Series& low, const Series& vol, std::uint64_t n, std::uint64_t m);
SeriesList BRAR(const Series& open, const Series& close, const Series& high, const Series& low, std::uint64_t m1);
SeriesList ASI(const Series& open, const Series& close, const Series& high, const Series& low,
               std::uint64_t m1, std::uint64_t m2);
SeriesList DMI(const Series& close, const Series& high, const Series& low, std::uint64_t m1, std::uint64_t m2);
Series MFI(const Series& close, const Series& high, const Series& low, const Series& vol, std::uint64_t n);

}  // namespace tarvex
