// Upper bounds that tests take from the system's own deadlines ("answered
// within 2 s") are stretched by the factor in VLN_TIME_SLACK (default 1; the
// stress script sets 3), so that a loaded machine is not mistaken for a
// fault. Lower bounds ("not before 1 s") are never stretched.
#pragma once

#include <chrono>
#include <cstdlib>

namespace vlntest {

inline double timeSlack() {
  static const double factor = [] {
    const char* text = std::getenv("VLN_TIME_SLACK");
    if (!text || !*text) return 1.0;
    char* end = nullptr;
    const double f = std::strtod(text, &end);
    return (end && *end == '\0' && f >= 1.0) ? f : 1.0;
  }();
  return factor;
}

// `bound` stretched by the slack factor.
template <class Rep, class Period>
std::chrono::milliseconds slackBound(std::chrono::duration<Rep, Period> bound) {
  const double ms = std::chrono::duration<double, std::milli>(bound).count() * timeSlack();
  return std::chrono::milliseconds(static_cast<long long>(ms + 0.5));
}

}  // namespace vlntest
