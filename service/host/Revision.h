// The revision of Pendra: in the version box, in the log's start line and in the version
// resource.
#pragma once

inline constexpr const char* pendraRevision = "1.22";
