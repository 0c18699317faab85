// Paths that Klemora forms from its own module file name: both programs, the server list and
// the help lie in one folder. Portable.
#pragma once

#include <string>

// Drive and directory of a path, with the trailing backslash ("C:\Apps\Klemora.exe" gives
// "C:\Apps\"); empty when the path has neither.
std::string folderOf(const std::string& path);

// The service program's path as the service manager takes it: quoted, with every backslash and
// double quote escaped, when it holds a blank, a tab or a double quote; otherwise unchanged.
std::string quotedServicePath(const std::string& path);
