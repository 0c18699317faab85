// The Info page: the version text and the links to the homepage and the support address.
#pragma once

#include "desktop/admin/win/StaticLink.h"
#include "desktop/framework/PropertySheet.h"

class Info : public CPropertyPage {
public:
    Info();
    BOOL OnInitDialog() override;

    CStaticLink m_linkHome;
    CStaticLink m_linkIcon;
    CStaticLink m_linkMail;
};

// Where the links go.
constexpr const char* makerHomepage = "http://www.tarnwick.example/";
constexpr const char* programHomepage = "http://www.tarnwick.example/klemora/";
constexpr const char* supportAddress = "support@tarnwick.example";
