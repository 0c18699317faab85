// The text of the exception that reading Pendra's settings raised, or "" when it completed.
#pragma once

#include "service/engine/ServiceConfiguration.h"

#include <exception>
#include <string>

inline std::string readFailure(ServiceConfiguration& config) {
    try {
        readServiceConfiguration(config);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}
