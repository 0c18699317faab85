#include "installer/PolicyTemplates.h"

#include <cctype>
#include <utility>
#include <vector>

namespace policy_templates {
namespace {

using pendra_settings::Setting;
using pendra_settings::Shape;

constexpr const char* schemaNamespace =
    "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions";
// The templates' own revision: an ADML older than the ADMX's minimum is refused by the editor.
constexpr const char* revision = "1.0";
constexpr const char* schemaVersion = "1.0";
// Pendra runs on Windows Vista and later; windows.admx defines the text.
constexpr const char* supportedOn = "windows:SUPPORTED_WindowsVista";
constexpr const char* vendorCategory = "Tarnwick";
constexpr const char* productCategory = "Pendra";

enum class Element { decimal, boolean, text };

Element elementOf(const Setting& setting) {
    switch (setting.shape) {
    case Shape::folder: // the program folder, never in policy
    case Shape::server:
    case Shape::path:
    case Shape::file:
        return Element::text;
    case Shape::flag:
        return Element::boolean;
    case Shape::number:
        return Element::decimal;
    }
    return Element::text;
}

// Only the log folder is written expandable, as the package writes it; the metrics file is a
// plain text (Pendra expands one that an administrator made expandable by hand).
bool expandable(const Setting& setting) {
    return setting.shape == Shape::path;
}

const char* registryTypeName(const Setting& setting) {
    if (elementOf(setting) != Element::text) {
        return "REG_DWORD";
    }
    return expandable(setting) ? "REG_EXPAND_SZ" : "REG_SZ";
}

std::string reference(const char* table, const std::string& id) {
    return std::string("$(") + table + "." + id + ")";
}

std::string helpId(const Setting& setting) {
    return std::string(setting.name) + "_Help";
}

std::string unitOf(const Setting& setting) {
    return setting.storedUnitName != nullptr ? setting.storedUnitName : "";
}

std::string lowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// A number's label names its unit, unless the title does already ("Log files kept").
std::string label(const Setting& setting) {
    const std::string unit = unitOf(setting);
    const bool named =
        unit.empty() || lowerCase(setting.title).find(lowerCase(unit)) != std::string::npos;
    return std::string(setting.title) + (named ? "" : " (" + unit + ")") + ":";
}

std::string displayName(const Setting& setting) {
    return std::string(setting.title) + " (" + setting.name + ")";
}

// Writes one element per line, indented by its depth; `nest` closes what it opens, so the tags
// balance by construction.
class XmlWriter {
public:
    using Attributes = std::vector<std::pair<const char*, std::string>>;

    XmlWriter() : text_("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n") {}

    template <typename Inside>
    void nest(const char* tag, const Attributes& attributes, Inside inside) {
        start(tag, attributes);
        text_ += ">\n";
        ++depth_;
        inside();
        --depth_;
        indent();
        end(tag);
    }
    void empty(const char* tag, const Attributes& attributes) {
        start(tag, attributes);
        text_ += "/>\n";
    }
    void leaf(const char* tag, const Attributes& attributes, const std::string& content) {
        start(tag, attributes);
        text_ += '>';
        text_ += xmlEscaped(content);
        end(tag);
    }
    std::string take() { return std::move(text_); }

private:
    void indent() { text_.append(2 * depth_, ' '); }
    void start(const char* tag, const Attributes& attributes) {
        indent();
        text_ += '<';
        text_ += tag;
        for (const auto& [name, value] : attributes) {
            text_ += ' ';
            text_ += name;
            text_ += "=\"";
            text_ += xmlEscaped(value);
            text_ += '"';
        }
    }
    void end(const char* tag) {
        text_ += "</";
        text_ += tag;
        text_ += ">\n";
    }

    std::string text_;
    std::size_t depth_ = 0;
};

void policyElement(XmlWriter& xml, const Setting& setting) {
    const std::string name = setting.name;
    switch (elementOf(setting)) {
    case Element::decimal:
        xml.empty("decimal", {{"id", name},
                              {"valueName", name},
                              {"required", "true"},
                              {"minValue", std::to_string(setting.least)},
                              {"maxValue", std::to_string(setting.most)},
                              {"storeAsText", "false"}});
        return;
    case Element::boolean:
        xml.nest("boolean", {{"id", name}, {"valueName", name}}, [&] {
            xml.nest("trueValue", {}, [&] { xml.empty("decimal", {{"value", "1"}}); });
            xml.nest("falseValue", {}, [&] { xml.empty("decimal", {{"value", "0"}}); });
        });
        return;
    case Element::text: {
        // An optional text may be left empty: it then means none.
        const bool required = setting.reading != pendra_settings::Reading::optional;
        xml.empty("text", {{"id", name},
                           {"valueName", name},
                           {"required", required ? "true" : "false"},
                           {"expandable", expandable(setting) ? "true" : "false"}});
        return;
    }
    }
}

void presentation(XmlWriter& xml, const Setting& setting) {
    const std::string name = setting.name;
    xml.nest("presentation", {{"id", name}}, [&] {
        switch (elementOf(setting)) {
        case Element::decimal:
            // The spin steps by the installer property's unit: minutes, seconds.
            xml.leaf("decimalTextBox",
                     {{"refId", name},
                      {"defaultValue", std::to_string(setting.initial)},
                      {"spinStep", std::to_string(setting.propertyUnit)}},
                     label(setting));
            return;
        case Element::boolean:
            xml.leaf("checkBox",
                     {{"refId", name}, {"defaultChecked", setting.initial != 0 ? "true" : "false"}},
                     setting.title);
            return;
        case Element::text:
            xml.nest("textBox", {{"refId", name}},
                     [&] { xml.leaf("label", {}, std::string(setting.title) + ":"); });
            return;
        }
    });
}

} // namespace

// AppRoot, the only setting without a property, is the folder that the package installed the
// programs into: a policy cannot move them there, Pendra does not read it, and a wrong one would
// only send Klemora to a help file that is not there.
bool inPolicy(const Setting& setting) {
    return setting.property != nullptr;
}

std::string xmlEscaped(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        case '\'':
            escaped += "&apos;";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

std::string explainText(const Setting& setting) {
    const std::string machine = "HKEY_LOCAL_MACHINE\\";
    std::string text = std::string("Registry value: ") + setting.name + " (" +
                       registryTypeName(setting) + ") under " + machine +
                       pendra_settings::policyKey + "\n";
    switch (elementOf(setting)) {
    case Element::decimal:
        text += "Range: " + std::to_string(setting.least) + " to " + std::to_string(setting.most) +
                "\n";
        if (!unitOf(setting).empty()) {
            text += "Unit: " + unitOf(setting) + "\n";
        }
        break;
    case Element::boolean:
        text += "Range: 0 or 1 (checked writes 1)\n";
        break;
    case Element::text:
        break;
    }
    text += std::string("\n") + setting.explanation + "\n\n";
    text += std::string("Enabled, this policy overrides the value ") + setting.name + " under " +
            machine + pendra_settings::settingsKey +
            ". Not configured or disabled, it sets nothing and that value applies.";
    return text;
}

std::string admx(Settings settings) {
    XmlWriter xml;
    xml.nest(
        "policyDefinitions",
        {{"revision", revision}, {"schemaVersion", schemaVersion}, {"xmlns", schemaNamespace}},
        [&] {
            xml.nest("policyNamespaces", {}, [&] {
                xml.empty("target",
                          {{"prefix", "pendra"}, {"namespace", "Tarnwick.Policies.Pendra"}});
                xml.empty("using",
                          {{"prefix", "windows"}, {"namespace", "Microsoft.Policies.Windows"}});
            });
            xml.empty("resources", {{"minRequiredRevision", revision}});
            xml.nest("categories", {}, [&] {
                xml.empty("category", {{"name", vendorCategory},
                                       {"displayName", reference("string", vendorCategory)}});
                xml.nest(
                    "category",
                    {{"name", productCategory},
                     {"displayName", reference("string", productCategory)},
                     {"explainText", reference("string", std::string(productCategory) + "_Help")}},
                    [&] {
                        xml.empty("parentCategory", {{"ref", vendorCategory}});
                    });
            });
            xml.nest("policies", {}, [&] {
                for (const Setting* setting : settings) {
                    if (!inPolicy(*setting)) {
                        continue;
                    }
                    xml.nest("policy",
                             {{"name", setting->name},
                              {"class", "Machine"},
                              {"displayName", reference("string", setting->name)},
                              {"explainText", reference("string", helpId(*setting))},
                              {"presentation", reference("presentation", setting->name)},
                              {"key", pendra_settings::policyKey}},
                             [&] {
                                 xml.empty("parentCategory", {{"ref", productCategory}});
                                 xml.empty("supportedOn", {{"ref", supportedOn}});
                                 xml.nest("elements", {}, [&] { policyElement(xml, *setting); });
                             });
                }
            });
        });
    return xml.take();
}

std::string adml(Settings settings) {
    XmlWriter xml;
    xml.nest(
        "policyDefinitionResources",
        {{"revision", revision}, {"schemaVersion", schemaVersion}, {"xmlns", schemaNamespace}},
        [&] {
            xml.leaf("displayName", {}, "Pendra");
            xml.leaf("description", {},
                     "Group Policy for Pendra, the time synchronisation service of Tarnwick.");
            xml.nest("resources", {}, [&] {
                xml.nest("stringTable", {}, [&] {
                    xml.leaf("string", {{"id", vendorCategory}}, "Tarnwick");
                    xml.leaf("string", {{"id", productCategory}}, "Pendra");
                    xml.leaf("string", {{"id", std::string(productCategory) + "_Help"}},
                             std::string("Pendra, the time synchronisation service. An enabled "
                                         "policy writes its value under HKEY_LOCAL_MACHINE\\") +
                                 pendra_settings::policyKey +
                                 ", where it overrides the value of the same name under "
                                 "HKEY_LOCAL_MACHINE\\" +
                                 pendra_settings::settingsKey + ".");
                    for (const Setting* setting : settings) {
                        if (inPolicy(*setting)) {
                            xml.leaf("string", {{"id", setting->name}}, displayName(*setting));
                            xml.leaf("string", {{"id", helpId(*setting)}}, explainText(*setting));
                        }
                    }
                });
                xml.nest("presentationTable", {}, [&] {
                    for (const Setting* setting : settings) {
                        if (inPolicy(*setting)) {
                            presentation(xml, *setting);
                        }
                    }
                });
            });
        });
    return xml.take();
}

} // namespace policy_templates
