#pragma once

// Lengths of the theme in points; one point is one device-independent pixel.

namespace OrvaneSpacing {
inline constexpr int xxs = 4;
inline constexpr int xs = 8;
inline constexpr int sm = 12;
inline constexpr int md = 16;
inline constexpr int lg = 24;
inline constexpr int xl = 32;
inline constexpr int xxl = 48;
} // namespace OrvaneSpacing

namespace OrvaneRadius {
inline constexpr int sm = 8;
inline constexpr int md = 12;
inline constexpr int lg = 16;
inline constexpr int xl = 24;
inline constexpr int xxl = 32;
// Larger than any control: a rounded rectangle with it is drawn as a capsule.
inline constexpr int pill = 999;
} // namespace OrvaneRadius

namespace OrvaneCardPadding {
inline constexpr int top = 32;
inline constexpr int horizontal = 24;
inline constexpr int bottom = 24;
} // namespace OrvaneCardPadding
