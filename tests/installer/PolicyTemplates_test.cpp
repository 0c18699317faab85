#include "installer/PolicyTemplates.h"

#include "common/PendraSettings.h"

#include <gtest/gtest.h>

#include <array>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

using pendra_settings::Setting;
using pendra_settings::Shape;

// The text from `open` up to the end of the element that it starts; empty when absent.
std::string element(const std::string& text, const std::string& open, const std::string& close) {
    const std::size_t begin = text.find(open);
    if (begin == std::string::npos) {
        return {};
    }
    const std::size_t end = text.find(close, begin);
    return end == std::string::npos ? std::string()
                                    : text.substr(begin, end + close.size() - begin);
}

std::string attribute(const std::string& name, std::uint32_t value) {
    return name + "=\"" + std::to_string(value) + "\"";
}

std::multiset<std::string> matches(const std::string& text, const std::string& pattern) {
    std::multiset<std::string> found;
    const std::regex expression(pattern);
    for (std::sregex_iterator it(text.begin(), text.end(), expression), end; it != end; ++it) {
        found.insert((*it)[1]);
    }
    return found;
}

} // namespace

// Each setting that the package takes is a machine policy on the policy key, whose one element
// writes the value's name in its registry type, numbers limited to their range, and whose
// control starts at the initial value; its help shows the name, type, range, unit and
// explanation. The program folder stays out.
TEST(PolicyTemplates, EveryPropertyIsAPolicyAsTheSettingsDescriptionSays) {
    const std::string admx = policy_templates::admx();
    const std::string adml = policy_templates::adml();
    std::size_t policies = 0;
    for (const Setting* setting : pendra_settings::all) {
        SCOPED_TRACE(setting->name);
        const std::string name = setting->name;
        const std::string policy = element(admx, "<policy name=\"" + name + "\"", "</policy>");
        EXPECT_EQ(policy.empty(), setting->property == nullptr);
        if (policy.empty()) {
            continue;
        }
        ++policies;
        EXPECT_NE(policy.find(R"(class="Machine")"), std::string::npos);
        EXPECT_NE(policy.find(R"(key="Software\Policies\Tarnwick\NTP Client")"), std::string::npos);
        EXPECT_NE(policy.find("valueName=\"" + name + "\""), std::string::npos);
        const std::string help = element(adml, "<string id=\"" + name + "_Help\">", "</string>");
        EXPECT_NE(help.find(policy_templates::xmlEscaped(setting->explanation)), std::string::npos);
        EXPECT_NE(adml.find(std::string(">") + setting->title + " (" + name + ")</string>"),
                  std::string::npos);
        const std::string shown =
            element(adml, "<presentation id=\"" + name + "\">", "</presentation>");

        // Texts by elimination: a new shape of text is a text element, REG_SZ unless a folder.
        if (setting->shape == Shape::number) {
            EXPECT_NE(policy.find("<decimal id=\"" + name + "\""), std::string::npos);
            EXPECT_NE(policy.find(attribute("minValue", setting->least)), std::string::npos);
            EXPECT_NE(policy.find(attribute("maxValue", setting->most)), std::string::npos);
            ASSERT_NE(setting->storedUnitName, nullptr);
            EXPECT_NE(help.find(name + " (REG_DWORD)"), std::string::npos);
            EXPECT_NE(help.find("Range: " + std::to_string(setting->least) + " to " +
                                std::to_string(setting->most) +
                                "\nUnit: " + setting->storedUnitName),
                      std::string::npos);
            EXPECT_GE(setting->initial, setting->least);
            EXPECT_LE(setting->initial, setting->most);
            EXPECT_NE(shown.find("<decimalTextBox refId=\"" + name + "\" " +
                                 attribute("defaultValue", setting->initial)),
                      std::string::npos);
        } else if (setting->shape == Shape::flag) {
            EXPECT_TRUE(std::regex_search(
                policy, std::regex(R"(<trueValue>\s*<decimal value="1"/>\s*</trueValue>)")));
            EXPECT_TRUE(std::regex_search(
                policy, std::regex(R"(<falseValue>\s*<decimal value="0"/>\s*</falseValue>)")));
            EXPECT_NE(help.find(name + " (REG_DWORD)"), std::string::npos);
            EXPECT_NE(shown.find("<checkBox refId=\"" + name + "\" defaultChecked=\"" +
                                 (setting->initial != 0 ? "true" : "false")),
                      std::string::npos);
        } else {
            const bool folder = setting->shape == Shape::path;
            EXPECT_NE(policy.find("<text id=\"" + name + "\""), std::string::npos);
            EXPECT_NE(policy.find(folder ? R"(expandable="true")" : R"(expandable="false")"),
                      std::string::npos);
            EXPECT_NE(help.find(name + (folder ? " (REG_EXPAND_SZ)" : " (REG_SZ)")),
                      std::string::npos);
            EXPECT_NE(shown.find("<textBox refId=\"" + name + "\""), std::string::npos);
        }
    }
    EXPECT_EQ(matches(admx, R"re(<policy name="(\w+)")re").size(), policies);
    EXPECT_EQ(admx.find("AppRoot"), std::string::npos);
}

// The policy editor refuses templates whose references it cannot resolve: every string and
// presentation that the ADMX names is defined in the ADML, once, and nothing else is.
TEST(PolicyTemplates, TheResourcesDefineExactlyWhatThePoliciesReference) {
    const std::string admx = policy_templates::admx();
    const std::string adml = policy_templates::adml();
    const auto strings = matches(admx, R"(\$\(string\.(\w+)\))");
    const auto stringIds = matches(adml, R"re(<string id="(\w+)">)re");
    EXPECT_EQ(std::set<std::string>(strings.begin(), strings.end()),
              std::set<std::string>(stringIds.begin(), stringIds.end()));
    EXPECT_EQ(std::set<std::string>(stringIds.begin(), stringIds.end()).size(), stringIds.size());
    const auto presentations = matches(admx, R"(\$\(presentation\.(\w+)\))");
    EXPECT_EQ(presentations, matches(adml, R"re(<presentation id="(\w+)">)re"));
    EXPECT_FALSE(presentations.empty());
}

// Every text of the description is plain ASCII for the editor's help pane, and characters that
// XML reserves reach the files escaped, in names and texts alike.
TEST(PolicyTemplates, TextsArePlainAndEscaped) {
    std::vector<const Setting*> described(pendra_settings::all.begin(), pendra_settings::all.end());
    described.push_back(&pendra_settings::metricsFile);
    for (const Setting* setting : described) {
        SCOPED_TRACE(setting->name);
        const std::string text = std::string(setting->title) + setting->explanation;
        EXPECT_GT(std::string(setting->title).size(), 3u);
        EXPECT_GT(std::string(setting->explanation).size(), 40u);
        for (const char c : text) {
            EXPECT_TRUE(c >= ' ' && c <= '~') << static_cast<int>(c);
        }
    }
    EXPECT_STREQ(pendra_settings::metricsFile.property, "METRICSFILE");

    const Setting odd{.name = "Odd",
                      .shape = Shape::server,
                      .reading = pendra_settings::Reading::optional,
                      .property = "ODD",
                      .title = "Fish & \"chips\"",
                      .explanation = "Less <than> 'all' & more."};
    const std::array<const Setting*, 1> settings{&odd};
    const std::string adml = policy_templates::adml(settings);
    EXPECT_NE(adml.find(">Fish &amp; &quot;chips&quot; (Odd)</string>"), std::string::npos);
    EXPECT_NE(adml.find("Less &lt;than&gt; &apos;all&apos; &amp; more."), std::string::npos);
    EXPECT_EQ(adml.find("<than>"), std::string::npos);
    EXPECT_NE(policy_templates::admx(settings).find(R"(required="false")"), std::string::npos);
}
