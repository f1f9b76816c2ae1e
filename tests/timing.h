// Time bounds of the unit tests, for a loaded 2-core machine. An upper
// bound is the time a case is designed to take plus kLoad: a busy machine
// only ever makes things later. A lower bound is the time designed less
// kGrain: the code reckons its waits in whole milliseconds of its own
// clock, so a 1 s wait may end a fraction of a millisecond early by ours.
// A wait that a fault would cause must be longer than kLoad, or the bound
// cannot tell the two apart: the cases choose their waits so.
#pragma once

inline constexpr double kLoad = 1.5;    // seconds
inline constexpr double kGrain = 0.01;  // seconds
