// Reads a module's version resource: its fixed record and its string values.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class CFileVersionInfo {
public:
    // True when the resource was read and its signature is right; a module without a
    // translation entry is read with code page 1252.
    bool read(const char* moduleName);
    // A string value of the translation found; empty when absent.
    std::string value(const char* name) const;

    VS_FIXEDFILEINFO fixedInfo{};
    WORD language = 0;
    WORD codePage = 1252;

private:
    std::vector<BYTE> data;
};

// The version texts of this program for the Info page and the About box (empty when its
// version resource cannot be read).
std::string infoVersionTextOfThisProgram();
std::string aboutVersionTextOfThisProgram();
