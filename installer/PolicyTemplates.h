// The administrative templates that let Group Policy set Pendra's settings: Pendra.admx, the
// policies, and en-US\Pendra.adml, their English texts. Both are made from the settings
// description, so that a new setting with an installer property is a new policy too.
#pragma once

#include "common/PendraSettings.h"

#include <span>
#include <string>

namespace policy_templates {

inline constexpr const char* admxName = "Pendra.admx";
inline constexpr const char* admlFolder = "en-US";
inline constexpr const char* admlName = "Pendra.adml";

using Settings = std::span<const pendra_settings::Setting* const>;

// Whether Group Policy can set the value: every one that the package takes as a property.
bool inPolicy(const pendra_settings::Setting& setting);

// The texts of both files, lines ending in "\n".
std::string admx(Settings settings = pendra_settings::all);
std::string adml(Settings settings = pendra_settings::all);

// What the policy editor shows as the setting's help: its registry value, type, range and
// unit, then its explanation and how the policy stands to the settings key.
std::string explainText(const pendra_settings::Setting& setting);

// Text as XML content or attribute value.
std::string xmlEscaped(const std::string& text);

} // namespace policy_templates
