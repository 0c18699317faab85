// The version texts of the Info page and the About box, built from the program's version
// resource. Portable: the resource is read by the Windows layer and passed in.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct ProgramVersion {
    std::uint32_t fileVersionMost;  // major << 16 | minor
    std::uint32_t fileVersionLeast; // build << 16 | revision
    // A string value of the resource, empty when absent.
    std::function<std::string(const char* name)> value;
};

// "\n Version: a.b.c.d\n\n" and the company, product, description and copyright lines.
std::string infoVersionText(const ProgramVersion& version);
// "Version: a.b\n" and one "name:\tvalue\n" line per string value.
std::string aboutVersionText(const ProgramVersion& version);
