// Composite indicators: fixed compositions of the series primitives.
// Single-output indicators return a Series, the others a SeriesList in
// their documented output order. The Python functions and the batch
// registry call these same routines.
#pragma once

#include "series/series.hpp"

namespace tarvex {

// ---- trend and momentum (trend.cpp) ----
SeriesList MACD(SeriesView close, std::uint64_t short_n, std::uint64_t long_n, std::uint64_t m);
SeriesList TRIX(SeriesView close, std::uint64_t m1, std::uint64_t m2);
SeriesList DFMA(SeriesView close, std::uint64_t n1, std::uint64_t n2, std::uint64_t m);
SeriesList EXPMA(SeriesView close, std::uint64_t n1, std::uint64_t n2);
Series BBI(SeriesView close, std::uint64_t m1, std::uint64_t m2, std::uint64_t m3, std::uint64_t m4);
SeriesList DPO(SeriesView close, std::uint64_t m1, std::uint64_t m2, std::uint64_t m3);
SeriesList MTM(SeriesView close, std::uint64_t n, std::uint64_t m);
SeriesList ROC(SeriesView close, std::uint64_t n, std::uint64_t m);

// ---- oscillators (oscillators.cpp) ----
SeriesList KDJ(SeriesView close, SeriesView high, SeriesView low,
               std::uint64_t n, std::uint64_t m1, std::uint64_t m2);
Series RSI(SeriesView close, std::uint64_t n);
SeriesList WR(SeriesView close, SeriesView high, SeriesView low, std::uint64_t n, std::uint64_t n1);
SeriesList BIAS(SeriesView close, std::uint64_t l1, std::uint64_t l2, std::uint64_t l3);
SeriesList PSY(SeriesView close, std::uint64_t n, std::uint64_t m);
Series CCI(SeriesView close, SeriesView high, SeriesView low, std::uint64_t n);

// ---- channels and volatility (channels.cpp) ----
SeriesList BOLL(SeriesView close, std::uint64_t n, double p);
Series ATR(SeriesView close, SeriesView high, SeriesView low, std::uint64_t n);
SeriesList TAQ(SeriesView high, SeriesView low, std::uint64_t n);
SeriesList KTN(SeriesView close, SeriesView high, SeriesView low, std::uint64_t n, std::uint64_t m);
SeriesList XSII(SeriesView close, SeriesView high, SeriesView low, std::uint64_t n, std::uint64_t m);
SeriesList MASS(SeriesView high, SeriesView low, std::uint64_t n1, std::uint64_t n2, std::uint64_t m);

// ---- volume and directional (volume.cpp) ----
Series OBV(SeriesView close, SeriesView vol);
Series VR(SeriesView close, SeriesView vol, std::uint64_t m1);
Series CR(SeriesView close, SeriesView high, SeriesView low, std::uint64_t n);
SeriesList EMV(SeriesView high, SeriesView low, SeriesView vol, std::uint64_t n, std::uint64_t m);
SeriesList BRAR(SeriesView open, SeriesView close, SeriesView high, SeriesView low, std::uint64_t m1);
SeriesList ASI(SeriesView open, SeriesView close, SeriesView high, SeriesView low,
               std::uint64_t m1, std::uint64_t m2);
SeriesList DMI(SeriesView close, SeriesView high, SeriesView low, std::uint64_t m1, std::uint64_t m2);
Series MFI(SeriesView close, SeriesView high, SeriesView low, SeriesView vol, std::uint64_t n);

}  // namespace tarvex
