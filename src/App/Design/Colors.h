#pragma once

#include <QColor>

// The palette of the menu-bar program: opaque sRGB colours, no dark variant. Names that share
// a value (the three whites) stay separate so each use keeps its own meaning.

inline constexpr QColor orvanePrimary{26, 35, 126};
inline constexpr QColor orvanePrimaryContainer{57, 73, 171};
inline constexpr QColor orvaneSecondary{0, 191, 165};
inline constexpr QColor orvaneTertiary{255, 193, 7};

inline constexpr QColor orvaneSurface{250, 250, 252};
inline constexpr QColor orvaneSurfaceContainerLowest{255, 255, 255};
inline constexpr QColor orvaneSurfaceContainerLow{244, 245, 248};
inline constexpr QColor orvaneSurfaceContainer{238, 240, 244};
inline constexpr QColor orvaneSurfaceContainerHigh{232, 234, 240};
inline constexpr QColor orvaneSurfaceContainerHighest{225, 228, 235};
inline constexpr QColor orvaneSurfaceDim{217, 218, 219};
inline constexpr QColor orvaneSurfaceBright{255, 255, 255};

inline constexpr QColor orvaneOnSurface{25, 28, 29};
inline constexpr QColor orvaneOnSurfaceVariant{68, 71, 74};
inline constexpr QColor orvaneOnPrimary{255, 255, 255};
inline constexpr QColor orvaneOutlineVariant{196, 199, 206};

inline constexpr QColor orvaneSuccess{0, 166, 126};
inline constexpr QColor orvaneDanger{229, 57, 53};
inline constexpr QColor orvaneWarning{255, 179, 0};
