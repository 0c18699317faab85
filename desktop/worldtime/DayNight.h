// Where it is day and where night: the sun's position for an instant, and the world map of the
// clock (Mercator, longitude -180..180 across its width, 84 N at its top edge, the same scale
// across and down) darkened on the night side with a soft twilight band. Portable.
#pragma once

#include "common/PlatformTypes.h"

#include <cstdint>

struct SubsolarPoint {
    double latitude;  // degrees north: the sun's declination
    double longitude; // degrees east, -180..180
};

// The point where the sun stands overhead at a UTC instant, from the low-precision solar
// coordinates of the NOAA solar calculator (after Meeus, Astronomical Algorithms, chapter 25):
// within 0.01 degree of the almanac for years near 2000.
SubsolarPoint subsolarPoint(const SYSTEMTIME& utc);

// The sun's elevation above the horizon at a place, in degrees.
double sunElevation(double latitude, double longitude, const SubsolarPoint& sun);

// How much of the night's darkness a place has: 0 while the sun is up, 1 from 12 degrees below
// the horizon (nautical dusk) on, in between as the sine of the depression grows.
double nightShare(double elevationDegrees);

// The map's geography: the latitude of a pixel row's centre and the longitude of a column's, for
// a map of that size.
double mapLatitude(int row, int width);
double mapLongitude(int column, int width);

// Writes the day map with its night side darkened, both 32-bit pixels (0x00RRGGBB), rows from
// the top. At night a pixel keeps 40 % of its brightness.
void shadeNight(const std::uint32_t* day, std::uint32_t* shaded, int width, int height,
                const SubsolarPoint& sun);
