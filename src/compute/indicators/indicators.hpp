// Composite indicators: fixed compositions of the series primitives.
// Single-output indicators return a Series, the others a SeriesList in
// their documented output order. The Python functions and the batch
// registry call these same routines.
#pragma once

#include "series/series.hpp"

namespace tarvex {

// The rounding an indicator applies to its outputs as its last step: RD to
// `places` decimals, or none at all (for instruments priced near 1.0, where
// three decimals erase the signal).
struct Digits {
  bool round = true;
  std::uint32_t places = 3;
  static Digits none() { return Digits{false, 0}; }
};

// RD(s, digits.places), or s itself when `digits` does not round.
Series rounded(Series s, Digits digits);

// ---- trend and momentum (trend.cpp) ----
SeriesList MACD(SeriesView close, std::uint64_t short_n, std::uint64_t long_n, std::uint64_t m, Digits digits = {});
SeriesList TRIX(SeriesView close, std::uint64_t m1, std::uint64_t m2);
SeriesList DFMA(SeriesView close, std::uint64_t n1, std::uint64_t n2, std::uint64_t m);
SeriesList EXPMA(SeriesView close, std::uint64_t n1, std::uint64_t n2);
// Stop and reverse (sar.cpp): step and limit of the acceleration in percent.
Series SAR(SeriesView high, SeriesView low, std::uint64_t n, double step, double limit);
Series SARTURN(SeriesView high, SeriesView low, std::uint64_t n, double step, double limit);
Series BBI(SeriesView close, std::uint64_t m1, std::uint64_t m2, std::uint64_t m3, std::uint64_t m4);
SeriesList DPO(SeriesView close, std::uint64_t m1, std::uint64_t m2, std::uint64_t m3);
SeriesList MTM(SeriesView close, std::uint64_t n, std::uint64_t m);
SeriesList ROC(SeriesView close, std::uint64_t n, std::uint64_t m);

// ---- oscillators (oscillators.cpp) ----
SeriesList KDJ(SeriesView close, SeriesView high, SeriesView low,
               std::uint64_t n, std::uint64_t m1, std::uint64_t m2);
Series RSI(SeriesView close, std::uint64_t n, Digits digits = {});
SeriesList WR(SeriesView close, SeriesView high, SeriesView low, std::uint64_t n, std::uint64_t n1,
              Digits digits = {});
SeriesList BIAS(SeriesView close, std::uint64_t l1, std::uint64_t l2, std::uint64_t l3, Digits digits = {});
SeriesList PSY(SeriesView close, std::uint64_t n, std::uint64_t m, Digits digits = {});
Series CCI(SeriesView close, SeriesView high, SeriesView low, std::uint64_t n);

// ---- channels and volatility (channels.cpp) ----
SeriesList BOLL(SeriesView close, std::uint64_t n, double p, Digits digits = {});
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
