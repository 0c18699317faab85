#include "desktop/worldtime/DayNight.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double mapNorth = 84.0;
constexpr double twilightDegrees = 12.0;
constexpr double nightBrightness = 0.4;

double radians(double degrees) {
    return degrees * pi / 180.0;
}

double degrees(double radians) {
    return radians * 180.0 / pi;
}

// Days since noon of 1 January 4713 BC for a Gregorian date and time (Meeus, chapter 7).
double julianDay(const SYSTEMTIME& t) {
    int year = t.wYear;
    int month = t.wMonth;
    if (month <= 2) {
        year -= 1;
        month += 12;
    }
    const int century = year / 100;
    const int gregorian = 2 - century + century / 4;
    const double day =
        t.wDay +
        (t.wHour + (t.wMinute + (t.wSecond + t.wMilliseconds / 1000.0) / 60.0) / 60.0) / 24.0;
    return std::floor(365.25 * (year + 4716)) + std::floor(30.6001 * (month + 1)) + day +
           gregorian - 1524.5;
}

double mercatorY(double latitude) {
    return std::log(std::tan(pi / 4 + radians(latitude) / 2));
}

} // namespace

SubsolarPoint subsolarPoint(const SYSTEMTIME& utc) {
    const double centuries = (julianDay(utc) - 2451545.0) / 36525.0;
    const double t = centuries;
    const double meanLongitude = std::fmod(280.46646 + t * (36000.76983 + t * 0.0003032), 360.0);
    const double meanAnomaly = 357.52911 + t * (35999.05029 - 0.0001537 * t);
    const double eccentricity = 0.016708634 - t * (0.000042037 + 0.0000001267 * t);
    const double m = radians(meanAnomaly);
    const double centre = std::sin(m) * (1.914602 - t * (0.004817 + 0.000014 * t)) +
                          std::sin(2 * m) * (0.019993 - 0.000101 * t) + std::sin(3 * m) * 0.000289;
    const double node = radians(125.04 - 1934.136 * t);
    const double apparentLongitude = meanLongitude + centre - 0.00569 - 0.00478 * std::sin(node);
    const double meanObliquity =
        23.0 + (26.0 + (21.448 - t * (46.815 + t * (0.00059 - t * 0.001813))) / 60.0) / 60.0;
    const double obliquity = radians(meanObliquity + 0.00256 * std::cos(node));
    const double declination =
        std::asin(std::sin(obliquity) * std::sin(radians(apparentLongitude)));

    // The equation of time, in minutes: apparent solar time less mean solar time.
    const double y = std::pow(std::tan(obliquity / 2), 2);
    const double l = radians(meanLongitude);
    const double e = eccentricity;
    const double equationOfTime =
        4.0 * degrees(y * std::sin(2 * l) - 2 * e * std::sin(m) +
                      4 * e * y * std::sin(m) * std::cos(2 * l) - 0.5 * y * y * std::sin(4 * l) -
                      1.25 * e * e * std::sin(2 * m));
    const double minutes =
        utc.wHour * 60.0 + utc.wMinute + utc.wSecond / 60.0 + utc.wMilliseconds / 60000.0;
    double longitude = -(minutes - 720.0 + equationOfTime) / 4.0;
    longitude = std::fmod(longitude + 540.0, 360.0) - 180.0;
    return {degrees(declination), longitude};
}

double sunElevation(double latitude, double longitude, const SubsolarPoint& sun) {
    const double sine = std::sin(radians(latitude)) * std::sin(radians(sun.latitude)) +
                        std::cos(radians(latitude)) * std::cos(radians(sun.latitude)) *
                            std::cos(radians(longitude - sun.longitude));
    return degrees(std::asin(std::clamp(sine, -1.0, 1.0)));
}

double nightShare(double elevationDegrees) {
    const double sine = std::sin(radians(elevationDegrees));
    return std::clamp(-sine / std::sin(radians(twilightDegrees)), 0.0, 1.0);
}

double mapLatitude(int row, int width) {
    const double top = mercatorY(mapNorth);
    const double y = top - (row + 0.5) * 2 * pi / width;
    return degrees(2 * std::atan(std::exp(y)) - pi / 2);
}

double mapLongitude(int column, int width) {
    return -180.0 + (column + 0.5) * 360.0 / width;
}

void shadeNight(const std::uint32_t* day, std::uint32_t* shaded, int width, int height,
                const SubsolarPoint& sun) {
    // The sine of the elevation is a + b cos(longitude - the sun's): a and b per row, the
    // cosine per column, so a pixel costs two multiplications.
    std::vector<double> across(static_cast<std::size_t>(width));
    for (int x = 0; x < width; ++x) {
        across[static_cast<std::size_t>(x)] =
            std::cos(radians(mapLongitude(x, width) - sun.longitude));
    }
    const double band = std::sin(radians(twilightDegrees));
    const double sinSun = std::sin(radians(sun.latitude));
    const double cosSun = std::cos(radians(sun.latitude));
    for (int row = 0; row < height; ++row) {
        const double latitude = radians(mapLatitude(row, width));
        const double a = std::sin(latitude) * sinSun;
        const double b = std::cos(latitude) * cosSun;
        const std::size_t start = static_cast<std::size_t>(row) * static_cast<std::size_t>(width);
        for (int x = 0; x < width; ++x) {
            const std::size_t at = start + static_cast<std::size_t>(x);
            const double night =
                std::clamp(-(a + b * across[static_cast<std::size_t>(x)]) / band, 0.0, 1.0);
            const auto scale =
                static_cast<std::uint32_t>((1.0 - (1.0 - nightBrightness) * night) * 256);
            const std::uint32_t pixel = day[at];
            const std::uint32_t red = ((pixel >> 16) & 0xFFu) * scale >> 8;
            const std::uint32_t green = ((pixel >> 8) & 0xFFu) * scale >> 8;
            const std::uint32_t blue = (pixel & 0xFFu) * scale >> 8;
            shaded[at] = red << 16 | green << 8 | blue;
        }
    }
}
